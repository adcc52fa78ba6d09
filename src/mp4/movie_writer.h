#pragma once
// A playable MP4/MOV file written as the samples come: their bytes go straight
// into `mdat`, only the sample tables stay in memory, and finish() writes `moov`
// after them. The tracks, their sample descriptions and timescales follow a
// MovieTemplate taken from the reference recording.

#include <cstdint>
#include <span>
#include <vector>

#include "io/input_window.h"
#include "io/output_file.h"
#include "mp4/box_tree.h"
#include "mp4/movie_template.h"

namespace vidsalvage {

// The timing of a sample, in its track's timescale.
struct SampleTiming {
  std::uint32_t duration = 0;
  std::int32_t composition_offset = 0;  // presentation minus decoding time
  bool sync = true;                     // a random-access point
};

enum class SampleWrite {
  Done,
  ReadFailed,   // the input does not hold the bytes, or a reload failed (its message printed)
  WriteFailed,  // the output could not be written
  Refused,      // no sample is open, a track index is out of range, or a size overflows
};

// A unit from the input written behind its length, as a length-prefixed video
// sample holds it.
struct InputUnit {
  std::int64_t offset = 0;
  std::uint32_t length = 0;
};

// The tables of one track, run-length coded where the runs are long, so that a
// long recording costs a few bytes per sample.
struct TrackSamples {
  std::uint64_t sample_count = 0;
  // stsz: while every sample has the same size only the size is kept.
  std::uint32_t uniform_size = 0;
  std::vector<std::uint32_t> sizes;  // filled from the first sample of another size on
  std::vector<DurationRun> durations;
  struct OffsetRun {
    std::uint32_t count = 0;
    std::int32_t offset = 0;
  };
  std::vector<OffsetRun> composition_offsets;
  // stss: all_sync while every sample so far is a key; once one is not,
  // sync_numbers lists the keys.
  bool all_sync = true;
  std::vector<std::uint32_t> sync_numbers;  // counted from 1
  std::vector<std::uint64_t> chunk_offsets;
  std::vector<ChunkRun> chunk_runs;
  std::uint32_t samples_in_last_chunk = 0;
  std::uint64_t duration = 0;  // sum of the durations
  // The earliest presentation time, for the edit that shows the first frame at 0,
  // and the end of the last one.
  std::int64_t first_presentation = INT64_MAX;
  std::int64_t presentation_end = 0;
};

class MovieWriter {
 public:
  // Writes the file type box and the media data header to `out`, which must stay
  // open until finish(). False when writing fails, or the template has no track or
  // a track without a timescale or a whole sample entry.
  [[nodiscard]] bool start(OutputFile& out, const MovieTemplate& movie);

  // A sample of track `track` (an index into the template's tracks) is made of
  // what the appends below write until end_sample(). Consecutive samples of one
  // track share a chunk.
  [[nodiscard]] SampleWrite begin_sample(std::size_t track, const SampleTiming& timing);
  [[nodiscard]] SampleWrite append_bytes(std::span<const std::uint8_t> bytes);
  [[nodiscard]] SampleWrite append_input(InputWindow& input, std::int64_t offset,
                                         std::int64_t length);
  // Each unit behind its length, big-endian, as wide as the track's avcC or hvcC
  // says (4 without one). Refused when a length does not fit that width.
  [[nodiscard]] SampleWrite append_units(InputWindow& input, std::span<const InputUnit> units);
  [[nodiscard]] SampleWrite end_sample();
  // Drops the open sample after a failed append: its bytes stay in mdat, in no
  // table, and the next sample starts a chunk of its own.
  void abandon_sample();

  // One sample copied from the input: begin, append, end.
  [[nodiscard]] SampleWrite add_input_sample(std::size_t track, const SampleTiming& timing,
                                             InputWindow& input, std::int64_t offset,
                                             std::uint32_t length);
  // `length` bytes of fixed-size audio frames (PCM), each a sample of
  // `frame_duration`; length must be a multiple of frame_bytes.
  [[nodiscard]] SampleWrite add_input_frames(std::size_t track, InputWindow& input,
                                             std::int64_t offset, std::int64_t length,
                                             std::uint32_t frame_bytes,
                                             std::uint32_t frame_duration);

  // Writes the movie box and the media data's size. False when writing fails or
  // the movie was finished already.
  [[nodiscard]] bool finish();

  const TrackSamples& samples(std::size_t track) const { return tracks_[track]; }
  // The size of the media data box so far, its header included; 0 after finish().
  std::int64_t media_bytes() const;

 private:
  void record(std::size_t track, std::uint64_t count, std::uint32_t size,
              const SampleTiming& timing);

  OutputFile* out_ = nullptr;
  MovieTemplate movie_;
  std::vector<TrackSamples> tracks_;
  std::vector<std::uint8_t> unit_length_bytes_;  // per track
  std::int64_t mdat_offset_ = 0;
  std::size_t chunk_track_ = SIZE_MAX;  // the track of the open chunk
  std::uint64_t chunk_end_ = 0;         // where its next sample would start
  bool in_sample_ = false;
  std::size_t sample_track_ = 0;
  SampleTiming sample_timing_;
  std::int64_t sample_start_ = 0;
  bool failed_ = false;
};

// The stco box of a track's chunk offsets, co64 when the last one is past 4 GiB.
std::vector<std::uint8_t> chunk_offset_box(const TrackSamples& t);

}  // namespace vidsalvage
