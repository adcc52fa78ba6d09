#pragma once
// Turns what the model walk takes into the samples of a playable file: video
// units grouped into access units and timed in display order, audio frames, PCM
// and the samples of other tracks, each in the reference's track with the
// reference's durations. After a stretch of damage every track starts again at
// one common time, so that no track drifts from the others by what it lost.

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "codec/hevc_parameter_sets.h"
#include "codec/hevc_picture_order.h"
#include "codec/picture_order.h"
#include "codec/slice_header.h"
#include "io/input_window.h"
#include "io/output_file.h"
#include "model/stream_model.h"
#include "mp4/access_unit_assembler.h"
#include "mp4/movie_writer.h"

namespace vidsalvage {

// The template's tracks a salvage fills: the video track, the audio tracks the
// walk writes, and the other tracks whose samples the walk recognises. Indexes
// into model.movie.tracks, in the reference's order.
std::vector<std::size_t> salvaged_tracks(const StreamModel& model);

// The reference's media data rate, bytes per second of its video; 0 when its
// duration is unknown.
double reference_byte_rate(const StreamModel& model);

enum class SinkStart { Started, NoTemplate, WriteFailed };

class MovieSink {
 public:
  explicit MovieSink(InputWindow& input) : input_(input) {}

  // NoTemplate when the model carries no sample description for the video track
  // (a model learned before they were kept) or the writer refuses the template.
  [[nodiscard]] SinkStart start(OutputFile& out, const StreamModel& model);

  // A video NAL unit of `length` bytes at `offset` (its length field before it).
  [[nodiscard]] SampleWrite video_unit(std::int64_t offset, std::uint32_t length);
  // An AAC frame, raw, of audio track `track`.
  [[nodiscard]] SampleWrite audio_frame(std::uint32_t track, std::int64_t offset,
                                        std::int64_t length);
  // Interleaved PCM frames; a partial frame at the end is left out.
  [[nodiscard]] SampleWrite pcm(std::uint32_t track, std::int64_t offset, std::int64_t length);
  // A sample of another track, as recorded.
  [[nodiscard]] SampleWrite other_sample(std::uint32_t track, std::int64_t offset,
                                         std::int64_t size);
  // `length` bytes at `offset` the walk skipped as damage: the tracks lost about
  // as much time as the reference takes to record that many bytes.
  [[nodiscard]] SampleWrite damage(std::int64_t offset, std::int64_t length);

  // Whether the input ends where the recording was cut (the default), or where
  // its media data box ends by its own size: then a frame that ends there is whole.
  void set_end_is_cut(bool cut) { end_is_cut_ = cut; }

  // Writes what is held back and the movie box; after a failed read, what can
  // still be read of it. False when writing fails.
  [[nodiscard]] bool finish();

  // Video samples written so far, for the report.
  std::uint64_t video_samples() const;

 private:
  // The last samples of a track, held until the next one says whether a gap
  // follows them, or damage that the last one may run into.
  struct HeldSample {
    bool held = false;
    std::vector<InputUnit> units;  // video
    std::int64_t offset = 0;       // others
    std::int64_t length = 0;
    SampleTiming timing;
  };
  struct SinkTrack {
    std::size_t index = 0;  // into the template's tracks
    std::uint32_t id = 0;
    TrackRole role = TrackRole::Other;
    std::uint32_t timescale = 0;
    std::uint32_t delta = 0;
    std::uint32_t frame_bytes = 0;  // PCM
    std::uint64_t next_time = 0;    // the decoding time of the next sample
    // Not the video: the reference's lead of this track's chunks over the video
    // sample after them (TrackTemplate::lead), and whether the track's next sample
    // is the first after damage, to be placed by it.
    bool has_lead = false;
    std::int64_t lead = 0;
    bool awaiting_lead = false;
    HeldSample before;  // the sample before `held`
    HeldSample held;
  };
  struct Picture {
    AccessUnit unit;
    std::int32_t order = 0;  // picture order count
    std::uint64_t sequence = 0;
    bool undecodable = false;  // a RASL picture of an IRAP picture that starts afresh
  };
  // What an access unit's slice header says of its picture's display order.
  struct Ordering {
    bool read = false;  // false: no slice header could be read
    std::int32_t count = 0;
    bool starts_sequence = false;
    bool undecodable = false;
  };
  struct Sequence {
    std::vector<std::int32_t> orders;  // sorted
    bool started = false;
    std::uint64_t start_time = 0;  // the decoding time of its first picture
    // The highest order count released while 16 pictures followed it.
    std::int32_t released_max = INT32_MIN;
  };

  SinkTrack* track_of(std::uint32_t id);
  SampleWrite hold(SinkTrack& t, HeldSample sample);
  SampleWrite write_held(SinkTrack& t);
  SampleWrite write_sample(const SinkTrack& t, HeldSample& h);
  SampleWrite add_picture(AccessUnit unit);
  SampleWrite release_pictures(std::size_t keep);
  static std::uint64_t missing_below(const Sequence& s, std::int32_t order);
  bool decodable(const Picture& p);
  void take_parameter_set(std::int64_t offset, std::uint32_t length);
  Ordering avc_order(const AccessUnit& unit);
  Ordering hevc_order(const AccessUnit& unit);
  void align_tracks(std::int64_t skipped_bytes);
  bool move_to(SinkTrack& t, double seconds);
  void place_by_lead(SinkTrack& t);
  void resume_after_damage();

  InputWindow& input_;
  MovieWriter writer_;
  std::vector<SinkTrack> tracks_;
  SinkTrack* video_ = nullptr;
  AccessUnitAssembler assembler_;
  VideoCodec codec_ = VideoCodec::Avc;
  AvcParameterSets sets_;
  AvcPictureOrder order_;
  HevcParameterSets hevc_sets_;
  HevcPictureOrder hevc_order_;
  // The RASL pictures of the last IRAP picture cannot be decoded: it started
  // afresh (NoRaslOutputFlag), at the start, after damage or an end of sequence.
  bool rasl_undecodable_ = false;
  std::deque<Picture> pictures_;  // waiting until their display rank is certain
  std::map<std::uint64_t, Sequence> sequences_;
  std::uint64_t sequence_ = 0;
  bool all_sync_ = false;  // the reference has no stss: every sample is a key
  double byte_rate_ = 0;
  bool end_is_cut_ = true;
  std::int64_t damaged_bytes_ = 0;  // skipped since the last sample
  std::uint64_t video_written_ = 0;
  // After a gap, and for HEVC from the start: no picture is written until a key,
  // nor, after an H.264 key, one of its sequence shown before it.
  bool awaiting_key_ = false;
  bool after_key_ = false;
  std::uint64_t key_sequence_ = 0;
  std::int32_t key_order_ = 0;
};

}  // namespace vidsalvage
