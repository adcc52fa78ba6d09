#pragma once
// The box tree of an intact recording: its tracks, their sample descriptions and
// sample tables, read from the movie box and checked before anything is sized
// from them.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/input_window.h"
#include "mp4/movie_template.h"

namespace vidsalvage {

// One run of the time-to-sample table: `count` samples of `delta` each.
struct DurationRun {
  std::uint32_t count = 0;
  std::uint32_t delta = 0;

  bool operator==(const DurationRun&) const = default;
};

struct ChunkRun {
  std::uint32_t first_chunk = 0;  // counted from 1
  std::uint32_t samples_per_chunk = 0;
};

// One trak box: what the learning needs of it.
struct TrackTables {
  std::uint32_t id = 0;            // tkhd's track_ID, else the position among the tracks
  std::string handler;             // hdlr's handler type, four characters
  std::string handler_name;        // printable characters of hdlr's name
  std::string entry_type;          // the first sample entry's type, four characters
  std::vector<std::uint8_t> avcc;  // body of the entry's avcC box, if any
  std::vector<std::uint8_t> hvcc;  // body of the entry's hvcC box, if any
  std::vector<std::uint8_t> esds;  // body of the entry's esds box (wave/esds in MOV), if any
  // Sound sample entries: channelcount, samplesize and the integer sample rate,
  // from the fields of the entry's version (QuickTime adds 1 and 2).
  std::uint32_t channels = 0;
  std::uint32_t sample_bits = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t sound_version = 0;
  std::uint32_t bytes_per_frame = 0;    // versions 1 and 2; 0: not given
  std::uint32_t frames_per_packet = 0;  // version 2's constLPCMFramesPerAudioPacket
  std::uint32_t lpcm_flags = 0;         // version 2's formatSpecificFlags
  bool little_endian_box = false;       // an 'enda' box (in 'wave' or the entry) holds 1
  bool has_pcm_config = false;          // the entry has a pcmC box (ISO/IEC 23003-5)
  std::uint8_t pcm_format_flags = 0;    // pcmC: bit 0 set for little-endian samples
  std::uint8_t pcm_sample_size = 0;     // pcmC: bits per sample
  std::uint32_t timescale = 0;
  std::vector<DurationRun> durations;  // stts
  std::uint32_t uniform_size = 0;      // stsz: the size of every sample, or 0
  std::uint32_t sample_count = 0;
  std::vector<std::uint32_t> sizes;          // stsz entries when uniform_size is 0
  std::vector<ChunkRun> chunk_runs;          // stsc
  std::vector<std::uint64_t> chunk_offsets;  // stco or co64
};

enum class BoxTreeStatus { Ok, NoMovie, MovieTooLarge, Damaged, ReadFailed };

// What went wrong and where: the type of the box at fault and its file offset.
struct BoxTreeError {
  BoxTreeStatus status = BoxTreeStatus::Ok;
  std::string box;
  std::int64_t offset = 0;
};

// The largest movie box read into memory; its tables grow with the recording's
// length, by a few megabytes per hour.
inline constexpr std::int64_t kMaxMovieBytes = 256 * 1024 * 1024;

// Finds the top-level moov box and reads every trak in it. False with `error`
// filled when there is no movie box, it is too large, or a box or table in it is
// damaged: a size or count that does not fit what holds it.
[[nodiscard]] bool read_movie(InputWindow& input, std::vector<TrackTables>& tracks,
                              BoxTreeError& error);

// Reads the trak boxes of a movie box's body already in memory; `base` is the
// body's file offset, for the messages.
[[nodiscard]] bool read_movie_body(std::span<const std::uint8_t> body, std::int64_t base,
                                   std::vector<TrackTables>& tracks, BoxTreeError& error);

struct SampleRef {
  std::int64_t offset = 0;
  std::uint32_t size = 0;
};

enum class SampleListStatus { Ok, TablesDisagree, OutsideFile, TooMany };

// The samples of a track in decoding order, from its chunk offsets, sample-to-
// chunk runs and sizes. With `merge_chunks` every chunk is one sample (PCM, whose
// samples are single audio frames). Stops at the first sample that lies outside
// the file, when the tables disagree on the number of samples, or (TooMany) when
// a track has more than 2^24 samples.
SampleListStatus list_samples(const TrackTables& track, std::int64_t file_size, bool merge_chunks,
                              std::vector<SampleRef>& samples);

// Fills `movie` with what a playable file copies from this recording: its ftyp,
// the movie timescale and, per trak, the boxes and fields of TrackTemplate. False
// with `error` filled as read_movie does; a box to copy that is larger than the
// template's limits is MovieTooLarge.
[[nodiscard]] bool read_movie_template(InputWindow& input, MovieTemplate& movie,
                                       BoxTreeError& error);

// The same from a movie box's body already in memory, `base` its file offset;
// leaves `movie.ftyp` and `movie.quicktime` as they are.
[[nodiscard]] bool read_template_body(std::span<const std::uint8_t> body, std::int64_t base,
                                      MovieTemplate& movie, BoxTreeError& error);

}  // namespace vidsalvage
