#include "recovery/model_walk.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <tuple>

#include "codec/hevc_config.h"
#include "codec/pcm_test.h"
#include "codec/wav_format.h"
#include "model/model_recognition.h"
#include "recovery/aac_cutting.h"
#include "recovery/aac_splitter.h"
#include "recovery/input_copy.h"
#include "recovery/movie_sink.h"

namespace vidsalvage {
namespace {

constexpr std::int64_t kCopyPieceBytes = 16 * 1024 * 1024;
constexpr std::uint64_t kAnnouncedPercent = 99;
// A start found near the cursor with fewer bits than kResumeBits is taken when the
// bytes before it are no longer than audio between two video samples ever was
// (twice the longest gap, and this much more) and its samples are worth this much.
constexpr int kNearBits = 16;
constexpr std::int64_t kGapSlackBytes = 4096;
// The most places PCM chunks may end at that the walk tries for the next start.
constexpr std::size_t kMaxChunkEnds = 256;

// What a kind of skipped sample is: its track and, when a class recognised it,
// the four bytes the class begins with.
struct SkipKey {
  std::uint32_t track = 0;
  bool classified = false;
  std::uint32_t prefix = 0;
  bool operator<(const SkipKey& o) const {
    return std::tie(track, classified, prefix) < std::tie(o.track, o.classified, o.prefix);
  }
};

struct SkipCount {
  std::uint64_t samples = 0;
  std::uint64_t bytes = 0;
};

// A video unit or an audio frame written only once what follows it is known:
// when damage follows, the damage may have begun inside it.
struct Held {
  bool audio = false;
  std::size_t track = 0;  // audio: its index among the walk's audio tracks
  std::int64_t offset = kNotFound;
  std::int64_t length = 0;
};

// The walk sees the input end where the media data ends: the bytes after it are
// another box or a vendor's trailer. The true size comes back before the input is
// released, which unmaps by it.
class MediaEnd {
 public:
  MediaEnd(InputWindow& input, std::int64_t end) : input_(input), size_(input.size) {
    if (end >= 0 && end < input.size) input.size = end;
  }
  ~MediaEnd() { input_.size = size_; }
  MediaEnd(const MediaEnd&) = delete;
  MediaEnd& operator=(const MediaEnd&) = delete;

 private:
  InputWindow& input_;
  std::int64_t size_;
};

// An audio track the walk recovers: what the reference showed of it, and the
// file of its own it goes to, when there is one.
struct WalkAudio {
  const AudioModel* model = nullptr;
  AudioOutput* out = nullptr;
  std::unique_ptr<AacFrameScores> scores;  // AAC
};

// Where every audio sample of the reference was announced, audio is only ever
// found behind an announcement.
bool always_announced(const AudioModel& a) {
  return a.samples > 0 && a.announced * 100 >= a.samples * kAnnouncedPercent;
}

class ModelWalk {
 public:
  ModelWalk(InputWindow& input, const StreamModel& model, AudioOutput& audio,
            std::span<AudioOutput> more_audio, OutputFile& video, MovieSink* movie)
      : input_(input),
        model_(model),
        index_(build_model_index(model)),
        video_(video),
        movie_(movie) {
    if (model.audio.track != 0) add_audio(model.audio, &audio);
    for (std::size_t k = 0; k < model.more_audio.size(); ++k) {
      add_audio(model.more_audio[k], k < more_audio.size() ? &more_audio[k] : nullptr);
    }
    // A stretch nothing recognises is damage when no track's audio lies in one,
    // nor the samples of a track nothing tells (the audio of a kind an inferred
    // model saw only as bytes between the video samples).
    stretches_are_audio_ =
        std::any_of(audio_.begin(), audio_.end(),
                    [](const WalkAudio& a) { return !always_announced(*a.model); }) ||
        std::any_of(model.tracks.begin(), model.tracks.end(), [](const ModelTrack& t) {
          return t.role == TrackRole::Other && t.classes.empty() && t.link.width == 0;
        });
    if (audio_.size() > 1) {
      std::vector<const AudioModel*> models;
      std::vector<const AacFrameScores*> scores;
      for (const WalkAudio& a : audio_) {
        models.push_back(a.model);
        scores.push_back(a.scores.get());
      }
      stretch_tracks_ = stretch_tracks(models, scores);
    }
    const std::uint64_t gap = std::min<std::uint64_t>(
        model.video.max_gap, static_cast<std::uint64_t>(index_.search_limit));
    audio_reach_ = std::min<std::int64_t>(2 * static_cast<std::int64_t>(gap) + kGapSlackBytes,
                                          index_.search_limit);
  }

  // `end_is_cut`: the input ends where the recording was cut, not where its media
  // data ends.
  WalkOutcome run(std::int64_t cursor, bool end_is_cut) {
    cursor_ = cursor;
    end_is_cut_ = end_is_cut;
    while (cursor_ < input_.size) {
      progress_.cursor = cursor_;
      print_progress(progress_, input_.size);
      // In this order: the size the sample before announced, another track's
      // sample, video units, and else a search for the next recognised start.
      Step step = announced_ >= 0 ? take_announced() : Step::NotHere;
      if (step == Step::NotHere) step = take_class();
      if (step == Step::NotHere) step = take_video();
      if (step == Step::NotHere) step = search_on();
      // What was read before a read failed is whole: the held unit goes too.
      if (step == Step::ReadFailed) (void)settle_held(true);
      if (movie_failed_) return WalkOutcome::VideoWriteFailed;
      if (step != Step::Taken) return outcome_of(step);
    }
    const Step held = settle_held(true);
    if (held != Step::Taken) return outcome_of(held);
    print_skipped();
    return WalkOutcome::Finished;
  }

 private:
  enum class Step { Taken, NotHere, VideoFailed, AudioFailed, ReadFailed };

  void add_audio(const AudioModel& model, AudioOutput* out) {
    WalkAudio a;
    a.model = &model;
    a.out = out;
    if (model.role == TrackRole::Aac) a.scores = std::make_unique<AacFrameScores>(model);
    audio_.push_back(std::move(a));
  }

  // The index among the walk's audio tracks of track `id`; audio_.size() when none.
  std::size_t audio_index(std::uint32_t id) const {
    std::size_t k = 0;
    while (k < audio_.size() && audio_[k].model->track != id) ++k;
    return k;
  }

  bool has_file(std::size_t k) const {
    return audio_[k].out != nullptr && audio_[k].out->file.is_open();
  }

  static WalkOutcome outcome_of(Step step) {
    switch (step) {
      case Step::VideoFailed:
        return WalkOutcome::VideoWriteFailed;
      case Step::AudioFailed:
        return WalkOutcome::AudioWriteFailed;
      case Step::Taken:
      case Step::NotHere:
      case Step::ReadFailed:
        break;
    }
    return WalkOutcome::ReadFailed;
  }

  static Step from_written(CopyOutcome w, Step failed) {
    switch (w) {
      case CopyOutcome::Done:
        return Step::Taken;
      case CopyOutcome::ReadFailed:
        return Step::ReadFailed;
      case CopyOutcome::WriteFailed:
        return failed;
    }
    return Step::ReadFailed;
  }

  // The one place a video unit is taken: behind a start code, with its trace
  // line; a unit whose bytes show damage is skipped instead.
  Step take_video_unit(std::int64_t offset, std::uint32_t length) {
    const std::int64_t ls = index_.length_size;
    switch (base_layer_unit(offset, length)) {
      case UnitLayer::Base:
        break;
      case UnitLayer::Higher:
        ++higher_layer_.samples;
        higher_layer_.bytes += static_cast<std::uint64_t>(ls) + length;
        return Step::Taken;
      case UnitLayer::ReadFailed:
        return Step::ReadFailed;
    }
    switch (check_unit_bytes(input_, offset + ls, length)) {
      case UnitBytes::Whole:
        break;
      case UnitBytes::Damaged:
        skip_damage(offset, ls + length);
        return Step::Taken;
      case UnitBytes::ReadFailed:
        return Step::ReadFailed;
    }
    if (movie_ != nullptr) {
      return from_written(from_sample(movie_->video_unit(offset + ls, length)), Step::VideoFailed);
    }
    const char* label = model_.video.codec == VideoCodec::Hevc ? "H265" : "H264";
    return from_written(write_video_unit(input_, offset, length, video_, index_.length_size, label),
                        Step::VideoFailed);
  }

  static CopyOutcome from_sample(SampleWrite w) {
    switch (w) {
      case SampleWrite::Done:
        return CopyOutcome::Done;
      case SampleWrite::ReadFailed:
        return CopyOutcome::ReadFailed;
      case SampleWrite::WriteFailed:
      case SampleWrite::Refused:
        break;
    }
    return CopyOutcome::WriteFailed;
  }

  // Audio goes on when its file is open or a playable file is written.
  bool audio_wanted(std::size_t k) const { return has_file(k) || movie_ != nullptr; }
  bool audio_wanted() const {
    for (std::size_t k = 0; k < audio_.size(); ++k) {
      if (audio_wanted(k)) return true;
    }
    return false;
  }

  // A write to the audio file of track k failed: the app names that file.
  Step audio_failed(std::size_t k) {
    audio_[k].out->write_failed = true;
    return Step::AudioFailed;
  }

  // The audio of track k to the movie, when one is written. Taken when the
  // track's own file is still to be written.
  Step to_movie(SampleWrite w, std::size_t k) {
    const CopyOutcome m = from_sample(w);
    if (m != CopyOutcome::Done || !has_file(k)) return from_written(m, Step::VideoFailed);
    return Step::Taken;
  }

  // The one place an AAC frame is taken. The trace names the tracks after the first.
  Step take_aac_frame(std::size_t k, std::int64_t offset, std::int64_t length) {
    if (k == 0) {
      std::printf(" AAC: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(length));
    } else {
      std::printf(" AAC of track %u: 0x%08llX [0x%8llX]\n", audio_[k].model->track,
                  static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length));
    }
    if (movie_ != nullptr) {
      const Step m = to_movie(movie_->audio_frame(audio_[k].model->track, offset, length), k);
      if (m != Step::Taken || !has_file(k)) return m;
    }
    if (!has_file(k)) return Step::Taken;
    const Step step =
        from_written(write_adts_frames(input_, offset, length, *audio_[k].out), Step::AudioFailed);
    return step == Step::AudioFailed ? audio_failed(k) : step;
  }

  // The one place a stretch of PCM is taken.
  Step take_pcm(std::size_t k, std::int64_t offset, std::int64_t length) {
    const std::int64_t written = has_file(k) ? audio_[k].out->file.position() : 0;
    if (k == 0) {
      std::printf(" PCM: 0x%08llX [0x%8X] -> [0x%8llX]\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned>(length), static_cast<unsigned long long>(written));
    } else {
      std::printf(" PCM of track %u: 0x%08llX [0x%8X] -> [0x%8llX]\n", audio_[k].model->track,
                  static_cast<unsigned long long>(offset), static_cast<unsigned>(length),
                  static_cast<unsigned long long>(written));
    }
    if (movie_ != nullptr) {
      const Step m = to_movie(movie_->pcm(audio_[k].model->track, offset, length), k);
      if (m != Step::Taken || !has_file(k)) return m;
    }
    if (!has_file(k)) return Step::Taken;
    const AudioModel& a = *audio_[k].model;
    // Whole frames only: a part of one would put every sample after it into the
    // wrong channel.
    const std::int64_t whole =
        a.bytes_per_frame == 0 ? length : length / a.bytes_per_frame * a.bytes_per_frame;
    const PcmToWav conversion = pcm_to_wav(a.bits, a.little_endian, a.signed_samples);
    const CopyOutcome w = conversion == PcmToWav::Copy
                              ? copy_input(input_, offset, whole, audio_[k].out->file)
                              : copy_converted(offset, whole, a, conversion, audio_[k].out->file);
    const Step step = from_written(w, Step::AudioFailed);
    return step == Step::AudioFailed ? audio_failed(k) : step;
  }

  // The one place a sample of another track is taken: counted, and written only
  // to a playable file.
  Step take_other_sample(const SkipKey& key, std::int64_t offset, std::int64_t size) {
    SkipCount& count = skipped_[key];
    ++count.samples;
    count.bytes += static_cast<std::uint64_t>(size);
    if (movie_ == nullptr) return Step::Taken;
    return from_written(from_sample(movie_->other_sample(key.track, offset, size)),
                        Step::VideoFailed);
  }

  // Bytes that are none of the tracks' samples.
  // `cut_sample`: the bytes are the start of a sample whose checks passed, cut by
  // the end of the input.
  void skip_damage(std::int64_t offset, std::int64_t length, bool cut_sample = false) {
    if (length <= 0) return;
    std::printf("skip: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(length));
    ++damage_.samples;
    damage_.bytes += static_cast<std::uint64_t>(length);
    // The movie learns of the damage before the next sample, which is what a
    // failure here would stop: it is kept for then.
    if (movie_ != nullptr && !cut_sample && movie_->damage(offset, length) != SampleWrite::Done) {
      movie_failed_ = true;
    }
  }

  enum class UnitLayer { Base, Higher, ReadFailed };

  // Whether a unit belongs to the base layer, the one the raw stream holds: every
  // H.264 unit does; an HEVC unit does when its nuh_layer_id is 0.
  UnitLayer base_layer_unit(std::int64_t offset, std::uint32_t length) {
    if (model_.video.codec != VideoCodec::Hevc || length < 2) return UnitLayer::Base;
    const std::int64_t ls = index_.length_size;
    const std::span<const std::uint8_t> head = read_input(input_, offset + ls, 2);
    if (head.empty()) return UnitLayer::ReadFailed;
    HevcNalHeader nal;
    return read_hevc_nal_header(head, nal) && nal.nuh_layer_id != 0 ? UnitLayer::Higher
                                                                    : UnitLayer::Base;
  }

  // Writes the units from `offset` to `end`, all of them checked already; with
  // `hold_last`, the last one waits in held_.
  Step write_units(std::int64_t offset, std::int64_t end, bool hold_last) {
    const std::uint32_t ls = index_.length_size;
    while (offset < end) {
      const std::span<const std::uint8_t> field = read_input(input_, offset, ls + 1);
      if (field.empty()) return Step::ReadFailed;
      const std::uint32_t length = unit_length(field, ls);
      last_type_ = nal_type(model_.video.codec, field[ls]);
      if (hold_last && end - offset == ls + std::int64_t{length}) {
        held_ = {false, 0, offset, length};
        return Step::Taken;
      }
      const Step step = take_video_unit(offset, length);
      if (step != Step::Taken) return step;
      offset += ls + length;
    }
    return Step::Taken;
  }

  // Writes the held unit or frame, or with `keep` false drops it and returns
  // where it began through `dropped_at`.
  Step settle_held(bool keep, std::int64_t* dropped_at = nullptr) {
    const Held held = held_;
    held_ = {};
    if (held.offset == kNotFound) return Step::Taken;
    if (!keep && !held.audio) {
      // A slice whose data ends exactly at its last byte ended before the damage.
      switch (slice_ends_whole(input_, index_, held.offset + index_.length_size,
                               static_cast<std::uint32_t>(held.length))) {
        case SliceProof::Proven:
          keep = true;
          break;
        case SliceProof::Unproven:
          break;
        case SliceProof::ReadFailed:
          return Step::ReadFailed;
      }
    }
    if (!keep) {
      if (dropped_at != nullptr) *dropped_at = held.offset;
      return Step::Taken;
    }
    if (!held.audio) return take_video_unit(held.offset, static_cast<std::uint32_t>(held.length));
    if (audio_[held.track].model->role == TrackRole::Aac) {
      return take_aac_frame(held.track, held.offset, held.length);
    }
    return take_pcm(held.track, held.offset, held.length);
  }

  // Whether units tile [offset, offset + size) exactly.
  bool units_tile(std::int64_t offset, std::int64_t size) {
    const std::uint32_t ls = index_.length_size;
    const std::int64_t end = offset + size;
    std::int64_t p = offset;
    while (end - p > ls) {
      const std::span<const std::uint8_t> field = read_input(input_, p, ls + 1);
      if (field.empty()) return false;
      const std::uint32_t length = unit_length(field, ls);
      if (length == 0 || (field[ls] & 0x80) != 0 || length > end - p - ls) return false;
      p += ls + length;
    }
    return p == end;
  }

  // PCM that a WAV file holds otherwise, converted in pieces.
  CopyOutcome copy_converted(std::int64_t offset, std::int64_t length, const AudioModel& a,
                             PcmToWav conversion, OutputFile& out) {
    const std::int64_t width = a.bits / 8;
    std::vector<std::uint8_t> buffer;
    while (length > 0) {
      const std::int64_t piece = std::min(length, kCopyPieceBytes / width * width);
      const std::span<const std::uint8_t> bytes = read_input(input_, offset, piece);
      if (bytes.empty()) return CopyOutcome::ReadFailed;
      buffer.assign(bytes.begin(), bytes.end());
      convert_pcm_to_wav(buffer, a.bits, conversion);
      if (!out.write(buffer)) return CopyOutcome::WriteFailed;
      offset += piece;
      length -= piece;
    }
    return CopyOutcome::Done;
  }

  // The sample at the cursor has the size the sample before it announced.
  Step take_announced() {
    const std::int64_t size = announced_;
    const std::uint32_t track = announced_track_;
    announced_ = -1;
    if (size <= 0 || size > input_.size - cursor_) return Step::NotHere;
    const ModelTrack* t = find_track(model_, track);
    if (t == nullptr) return Step::NotHere;
    if (t->role == TrackRole::Video) {
      if (!units_tile(cursor_, size)) return Step::NotHere;
      const Step step = settle_held(true);
      if (step != Step::Taken) return step;
      const std::int64_t at = cursor_;
      cursor_ += size;
      return write_units(at, cursor_, true);
    }
    const std::size_t k = audio_index(t->id);
    if (k < audio_.size()) return take_announced_audio(k, size);
    if (t->role != TrackRole::Other) return Step::NotHere;
    ClassHit hit;
    Step taken = Step::Taken;
    if (class_at(input_, index_, cursor_, hit) && hit.cls->track == track) {
      taken = take_other_sample({track, true, hit.cls->key}, cursor_, size);
      note_announcement(hit);
    } else {
      taken = take_other_sample({track, false, 0}, cursor_, size);
    }
    cursor_ += size;
    if (taken != Step::Taken) return taken;
    return settle_held(true);
  }

  Step take_announced_audio(std::size_t k, std::int64_t size) {
    if (audio_[k].scores != nullptr) {
      const std::span<const std::uint8_t> head = read_input(input_, cursor_, 1);
      if (head.empty() || size > kMaxAdtsPayload || !audio_[k].scores->may_start(head[0])) {
        return Step::NotHere;
      }
    }
    const Step step = settle_held(true);
    if (step != Step::Taken) return step;
    if (audio_wanted(k)) held_ = {true, k, cursor_, size};
    cursor_ += size;
    return Step::Taken;
  }

  void note_announcement(const ClassHit& hit) {
    if (hit.announced < 0) return;
    announced_ = hit.announced;
    announced_track_ = hit.cls->source->next_track;
  }

  Step take_class() {
    ClassHit hit;
    if (!class_at(input_, index_, cursor_, hit)) return Step::NotHere;
    const Step step = settle_held(true);
    if (step != Step::Taken) return step;
    // A sample cut by the end of the input: the recording ends inside it.
    if (hit.size > input_.size - cursor_) {
      skip_damage(cursor_, input_.size - cursor_);
      cursor_ = input_.size;
      return Step::Taken;
    }
    const Step taken = take_other_sample({hit.cls->track, true, hit.cls->key}, cursor_, hit.size);
    cursor_ += hit.size;
    note_announcement(hit);
    return taken;
  }

  Step take_video() {
    if (!opens_sample(input_, index_, cursor_)) return Step::NotHere;
    const Chain chain = follow_chain(input_, index_, cursor_, last_type_);
    if (chain.stop == ChainEnd::ReadFailed) return Step::ReadFailed;
    // A sample cut before its first slice ends (HEVC's samples of one unit, or a
    // delimiter and SEI in front of a slice cut short) is no audio: the recording
    // ends in it, and its units without a picture are left out with it.
    if (chain.stop == ChainEnd::PastEnd && !chain.has_slice) {
      const Step step = settle_held(true);
      if (step != Step::Taken) return step;
      skip_damage(cursor_, input_.size - cursor_, true);
      cursor_ = input_.size;
      return Step::Taken;
    }
    if (chain.units == 0 || !chain.has_slice) return Step::NotHere;
    Step step = settle_held(true);
    if (step != Step::Taken) return step;
    // The last unit waits: when damage follows it, it may run into the damage.
    step = write_units(cursor_, chain.end, chain.stop == ChainEnd::NotVideo);
    cursor_ = chain.end;
    if (step != Step::Taken || chain.stop == ChainEnd::NotVideo) return step;
    // A unit that runs past the end of the input: the recording was cut there.
    // Nothing before it ran into it, and no sample follows it: the movie need not
    // hear of it.
    skip_damage(cursor_, input_.size - cursor_, chain.cut);
    cursor_ = input_.size;
    return Step::Taken;
  }

  // The first offset from `from` where a video sample begins whose units run past
  // the end of the input; the end of the input when there is none.
  std::int64_t cut_sample_after(std::int64_t from) {
    for (std::int64_t q = from; q < input_.size; ++q) {
      if (!opens_sample(input_, index_, q)) continue;
      if (follow_chain(input_, index_, q, -1).stop == ChainEnd::PastEnd) return q;
    }
    return input_.size;
  }

  // Whether the walk may take the start found at `end` near the cursor: its
  // samples are worth enough, or little audio lies before it.
  bool near_start_holds(std::int64_t end) {
    if (end == input_.size) return true;
    const Evidence e = evidence_at(input_, index_, end, kResumeBits);
    if (e.bits >= kResumeBits || (e.reaches_end && e.bits >= kResumeAtEndBits)) return true;
    return stretches_are_audio_ && end - cursor_ <= audio_reach_ && e.bits >= kNearBits;
  }

  // The nearest start that PCM chunks of the sizes the reference had lead to
  // from the cursor, when PCM begins there: PCM near silence reads as video units
  // and lengths everywhere, but no more than these few places are looked at.
  Found start_after_chunks() {
    std::vector<std::int64_t> sizes;
    bool pcm_here = false;
    for (const WalkAudio& a : audio_) {
      if (a.scores != nullptr || a.model->chunks.empty()) continue;
      const AudioModel& m = *a.model;
      const PcmLayout layout{m.bits, m.channels, m.little_endian, m.float_samples,
                             m.signed_samples};
      const std::span<const std::uint8_t> head = read_input(
          input_, cursor_,
          std::min(static_cast<std::int64_t>(pcm_test_bytes(layout)), input_.size - cursor_));
      pcm_here = pcm_here || looks_like_pcm(head, layout);
      for (const auto& [size, count] : m.chunks) sizes.push_back(size);
    }
    if (!pcm_here) return {};
    // Ends of chunk after chunk, nearest first, no further than audio between two
    // video samples reaches.
    std::vector<std::int64_t> ends = {cursor_};
    for (std::size_t i = 0; i < ends.size() && ends.size() < kMaxChunkEnds; ++i) {
      for (const std::int64_t size : sizes) {
        const std::int64_t end = ends[i] + size;
        if (end - cursor_ <= audio_reach_ && end <= input_.size &&
            std::find(ends.begin(), ends.end(), end) == ends.end()) {
          ends.push_back(end);
        }
      }
    }
    std::sort(ends.begin() + 1, ends.end());
    for (std::size_t i = 1; i < ends.size(); ++i) {
      if (ends[i] == input_.size) return {FoundKind::Video, ends[i]};
      const FoundKind kind = start_at(input_, index_, ends[i]);
      if (kind != FoundKind::Nothing) return {kind, ends[i]};
    }
    return {};
  }

  // Whether the video unit at `offset` would run past the end of the input: a
  // start that stands for the sample the cut ends, and takes every byte after it.
  bool runs_past_end(std::int64_t offset) {
    Unit unit;
    return unit_at(input_, index_, offset, -1, unit) == UnitCheck::PastEnd && unit.type >= 0;
  }

  // A start the search found near the cursor, and whether the walk may take it.
  struct NearStart {
    Found found;
    bool holds = false;
  };

  // The first start from `near` on that holds, while audio could still reach it:
  // bytes the model does not know between two video samples (PCM, another
  // track) read as starts here and there. A start whose unit would run past the
  // end of the input stands for the sample the cut ends, and takes every byte
  // after it: four bytes inside an audio frame near the end can read so. It is
  // taken only when no start behind it holds.
  NearStart first_start_that_holds(Found near) {
    Found candidate = near;
    Found cut_claim;
    while ((candidate.kind == FoundKind::Video || candidate.kind == FoundKind::Class) &&
           candidate.offset - cursor_ <= audio_reach_) {
      const bool claims_rest =
          candidate.kind == FoundKind::Video && runs_past_end(candidate.offset);
      if (!claims_rest && near_start_holds(candidate.offset)) return {candidate, true};
      if (claims_rest && cut_claim.kind == FoundKind::Nothing) cut_claim = candidate;
      candidate = find_recognised_start(input_, index_, candidate.offset + 1);
    }
    if (candidate.kind == FoundKind::ReadFailed) return {candidate, false};
    const Found fallback = cut_claim.kind != FoundKind::Nothing ? cut_claim : near;
    return {fallback, fallback.kind != FoundKind::Nothing && near_start_holds(fallback.offset)};
  }

  Step search_on() {
    Found near = start_after_chunks();
    if (near.kind == FoundKind::Nothing) near = find_recognised_start(input_, index_, cursor_ + 1);
    const NearStart checked = first_start_that_holds(near);
    near = checked.found;
    if (near.kind == FoundKind::ReadFailed) return Step::ReadFailed;
    std::int64_t end = near.offset;
    // The end of the input is a recognised start when the search reached it, and
    // so is a video sample that the cut ends, where the search took none for one.
    bool at_cut = false;
    if (near.kind == FoundKind::Nothing && input_.size - cursor_ <= index_.search_limit) {
      end = end_is_cut_ ? cut_sample_after(cursor_ + 1) : input_.size;
      at_cut = true;
    }
    last_type_ = -1;  // what came before the stretch says nothing of what follows it
    if (end == kNotFound || (!at_cut && !checked.holds)) return pass_damage();
    const std::int64_t start = cursor_;
    cursor_ = end;
    // More bytes than audio between two video samples ever took: damage. Behind
    // the last video sample a recorder writes what it still holds of each audio
    // track, which may be more.
    const std::int64_t reach = end == input_.size ? index_.search_limit : audio_reach_;
    if (end - start > reach) {
      return skip_after_held(start, end);
    }
    return take_stretch(start, end);
  }

  // Nothing the model knows lies near: the cursor stands in damage. Searches on
  // for the next run of samples worth kResumeBits, however far, and skips what
  // lies before it.
  Step pass_damage() {
    const Found found = find_resumption(input_, index_, cursor_ + 1);
    if (found.kind == FoundKind::ReadFailed) return Step::ReadFailed;
    const std::int64_t end = found.kind == FoundKind::Nothing ? input_.size : found.offset;
    const std::int64_t start = cursor_;
    cursor_ = end;
    return skip_after_held(start, end);
  }

  // Skips [start, end) with the unit or frame held before it: the damage may have
  // begun inside that, unless it is a slice proven whole.
  Step skip_after_held(std::int64_t start, std::int64_t end) {
    const Step step = settle_held(false, &start);
    skip_damage(start, end - start);
    return step;
  }

  // The bytes up to the next recognised start: audio, unless audio is only ever
  // announced.
  Step take_stretch(std::int64_t start, std::int64_t end) {
    if (!stretches_are_audio_) return skip_after_held(start, end);
    const bool one_pcm_track = audio_.size() == 1 && audio_[0].scores == nullptr;
    if (!audio_wanted() || one_pcm_track) {
      const Step step = settle_held(true);
      if (step != Step::Taken || !audio_wanted()) return step;
      return take_pcm(0, start, end - start);
    }
    // A stretch is shorter than the search limit: one window holds it.
    const std::span<const std::uint8_t> bytes = read_input(input_, start, end - start);
    if (bytes.empty()) return Step::ReadFailed;
    const bool at_cut = end == input_.size && end_is_cut_;
    std::vector<AacPiece> pieces = audio_.size() == 1
                                       ? cut_aac_stretch(*audio_[0].scores, bytes)
                                       : cut_audio_stretch(stretch_tracks_, bytes, at_cut);
    // Where the recording was cut, the last frame was cut with it: nothing before
    // it ran into it, and no sample follows it. A PCM chunk keeps its whole frames.
    bool last_frame_cut = false;
    if (at_cut && !pieces.empty() && pieces.back().frame &&
        audio_[pieces.back().track].scores != nullptr) {
      pieces.back().frame = false;
      last_frame_cut = true;
    }
    // Bytes no frame explains right behind the unit or frame held: it may run
    // into them, and is skipped with them.
    std::int64_t skip_from = start;
    const bool damage_first = !pieces.empty() && !pieces.front().frame;
    const Step step = settle_held(!damage_first, &skip_from);
    if (step != Step::Taken) return step;
    for (const AacPiece& piece : pieces) {
      if (!piece.frame) {
        const std::int64_t at = piece.offset == 0 ? skip_from : start + piece.offset;
        const bool cut_frame = last_frame_cut && &piece == &pieces.back();
        skip_damage(at, start + piece.offset + piece.length - at, cut_frame);
        continue;
      }
      if (!audio_wanted(piece.track)) continue;
      const Step taken = audio_[piece.track].scores != nullptr
                             ? take_aac_frame(piece.track, start + piece.offset, piece.length)
                             : take_pcm(piece.track, start + piece.offset, piece.length);
      if (taken != Step::Taken) return taken;
    }
    return Step::Taken;
  }

  void print_skipped() const {
    if (higher_layer_.samples > 0) {
      std::printf("Skipped %llu units of higher layers, %llu bytes\n",
                  static_cast<unsigned long long>(higher_layer_.samples),
                  static_cast<unsigned long long>(higher_layer_.bytes));
    }
    if (damage_.samples > 0) {
      std::printf("Skipped %llu damaged stretches, %llu bytes\n",
                  static_cast<unsigned long long>(damage_.samples),
                  static_cast<unsigned long long>(damage_.bytes));
    }
    for (const auto& [key, count] : skipped_) {
      if (key.classified) {
        std::printf("Skipped %llu samples of track %u beginning %02X %02X %02X %02X, %llu bytes\n",
                    static_cast<unsigned long long>(count.samples), key.track, key.prefix >> 24,
                    (key.prefix >> 16) & 0xFF, (key.prefix >> 8) & 0xFF, key.prefix & 0xFF,
                    static_cast<unsigned long long>(count.bytes));
      } else {
        std::printf("Skipped %llu other samples of track %u, %llu bytes\n",
                    static_cast<unsigned long long>(count.samples), key.track,
                    static_cast<unsigned long long>(count.bytes));
      }
    }
  }

  InputWindow& input_;
  const StreamModel& model_;
  const ModelIndex index_;
  std::vector<WalkAudio> audio_;  // the reference's audio tracks, the first one first
  StretchTracks stretch_tracks_;  // when there are several
  OutputFile& video_;
  MovieSink* movie_ = nullptr;  // the playable file, when one is written
  bool movie_failed_ = false;   // the movie could not take the pictures before damage
  bool stretches_are_audio_ = true;
  bool end_is_cut_ = false;
  std::int64_t audio_reach_ = 0;
  std::int64_t cursor_ = 0;
  SampleWalk progress_;  // the cursor and progress value the progress line shows
  int last_type_ = -1;
  Held held_;
  std::int64_t announced_ = -1;
  std::uint32_t announced_track_ = 0;
  std::map<SkipKey, SkipCount> skipped_;
  SkipCount damage_;        // stretches and bytes
  SkipCount higher_layer_;  // HEVC units of layers above the base layer
};

}  // namespace

WalkOutcome walk_with_model(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                            AudioOutput& audio, OutputFile& video, std::int64_t media_end,
                            std::span<AudioOutput> more_audio) {
  const bool end_is_cut = media_end < 0 || media_end > input.size;
  const MediaEnd end(input, media_end);
  ModelWalk walk(input, model, audio, more_audio, video, nullptr);
  return walk.run(cursor, end_is_cut);
}

WalkOutcome walk_to_movie(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                          AudioOutput& audio, MovieSink& movie, std::int64_t media_end,
                          std::span<AudioOutput> more_audio) {
  const bool end_is_cut = media_end < 0 || media_end > input.size;
  const MediaEnd end(input, media_end);
  movie.set_end_is_cut(end_is_cut);
  OutputFile no_video;
  ModelWalk walk(input, model, audio, more_audio, no_video, &movie);
  return walk.run(cursor, end_is_cut);
}

}  // namespace vidsalvage
