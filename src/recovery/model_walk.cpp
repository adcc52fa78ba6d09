#include "recovery/model_walk.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

#include "recovery/aac_cutting.h"
#include "recovery/aac_splitter.h"
#include "recovery/input_copy.h"
#include "model/model_recognition.h"
#include "recovery/movie_sink.h"

namespace vidsalvage {
namespace {

constexpr std::int64_t kMaxAdtsPayload = 8191 - 7;
constexpr std::int64_t kCopyPieceBytes = 16 * 1024 * 1024;
constexpr std::uint64_t kAnnouncedPercent = 99;

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

class ModelWalk {
 public:
  ModelWalk(InputWindow& input, const StreamModel& model, AudioOutput& audio, OutputFile& video,
            MovieSink* movie)
      : input_(input),
        model_(model),
        index_(build_model_index(model)),
        scores_(model.audio),
        audio_(audio),
        video_(video),
        movie_(movie) {
    const AudioModel& a = model.audio;
    // Where every audio sample of the reference was announced, audio is only ever
    // found behind an announcement: a stretch nothing recognises is damage.
    stretches_are_audio_ =
        a.track != 0 && !(a.samples > 0 && a.announced * 100 >= a.samples * kAnnouncedPercent);
  }

  WalkOutcome run(std::int64_t cursor) {
    cursor_ = cursor;
    while (cursor_ < input_.size) {
      progress_.cursor = cursor_;
      print_progress(progress_, input_.size);
      // In this order: the size the sample before announced, another track's
      // sample, video units, and else a search for the next recognised start.
      Step step = announced_ >= 0 ? take_announced() : Step::NotHere;
      if (step == Step::NotHere) step = take_class();
      if (step == Step::NotHere) step = take_video();
      if (step == Step::NotHere) step = search_on();
      if (step == Step::Stop) break;
      if (step == Step::VideoFailed) return WalkOutcome::VideoWriteFailed;
      if (step == Step::AudioFailed) return WalkOutcome::AudioWriteFailed;
    }
    print_skipped();
    return WalkOutcome::Finished;
  }

 private:
  enum class Step { Taken, NotHere, Stop, VideoFailed, AudioFailed };

  static Step from_written(CopyOutcome w, Step failed) {
    switch (w) {
      case CopyOutcome::Done:
        return Step::Taken;
      case CopyOutcome::ReadFailed:
        return Step::Stop;
      case CopyOutcome::WriteFailed:
        return failed;
    }
    return Step::Stop;
  }

  static CopyOutcome from_sample(SampleWrite w) {
    switch (w) {
      case SampleWrite::Done:
        return CopyOutcome::Done;
      case SampleWrite::ReadFailed:
        return CopyOutcome::ReadFailed;
      case SampleWrite::WriteFailed:
      case SampleWrite::Refused:
        return CopyOutcome::WriteFailed;
    }
    return CopyOutcome::WriteFailed;
  }

  // The movie's copy of an audio sample or stretch, then the audio file's.
  CopyOutcome write_audio(std::int64_t offset, std::int64_t length) {
    const bool aac = model_.audio.role == TrackRole::Aac;
    if (movie_ != nullptr) {
      const std::uint32_t track = model_.audio.track;
      const SampleWrite m = aac ? movie_->audio_frame(track, offset, length)
                                : movie_->pcm(track, offset, length);
      if (m != SampleWrite::Done) return from_sample(m);
    }
    if (!audio_.file.is_open()) return CopyOutcome::Done;
    return aac ? write_frame(offset, length) : write_pcm(offset, length);
  }

  bool audio_wanted() const { return audio_.file.is_open() || movie_ != nullptr; }

  // A stretch skipped as damage: the movie puts its tracks back in step after it.
  CopyOutcome skip_damage(std::int64_t offset, std::int64_t length) {
    print_skip(offset, length);
    if (movie_ == nullptr) return CopyOutcome::Done;
    return from_sample(movie_->damage(length));
  }

  // Writes the units from `offset` to `end`, all of them checked already.
  CopyOutcome write_units(std::int64_t offset, std::int64_t end) {
    const std::uint32_t ls = index_.length_size;
    while (offset < end) {
      const std::span<const std::uint8_t> field = read_input(input_, offset, ls + 1);
      if (field.empty()) return CopyOutcome::ReadFailed;
      const std::uint32_t length = unit_length(field, ls);
      last_type_ = field[ls] & 0x1F;
      const CopyOutcome w = movie_ != nullptr
                                ? from_sample(movie_->video_unit(offset + ls, length))
                                : write_video_unit(input_, offset, length, video_, ls);
      if (w != CopyOutcome::Done) return w;
      offset += ls + length;
    }
    return CopyOutcome::Done;
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

  CopyOutcome write_frame(std::int64_t offset, std::int64_t length) {
    std::printf(" AAC: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(length));
    const AdtsTemplate header = adts_frame_header(audio_.adts, static_cast<std::uint64_t>(length));
    if (!audio_.file.write(header)) return CopyOutcome::WriteFailed;
    return copy_input(input_, offset, length, audio_.file);
  }

  CopyOutcome write_pcm(std::int64_t offset, std::int64_t length) {
    std::printf(" PCM: 0x%08llX [0x%8X] -> [0x%8llX]\n", static_cast<unsigned long long>(offset),
                static_cast<unsigned>(length),
                static_cast<unsigned long long>(audio_.file.position()));
    if (model_.audio.little_endian || model_.audio.bits <= 8) {
      return copy_input(input_, offset, length, audio_.file);
    }
    return copy_swapped(offset, length);
  }

  // Big-endian PCM goes into the WAV file little-endian, sample by sample.
  CopyOutcome copy_swapped(std::int64_t offset, std::int64_t length) {
    const std::int64_t width = model_.audio.bits / 8;
    std::vector<std::uint8_t> buffer;
    while (length > 0) {
      const std::int64_t piece = std::min(length, kCopyPieceBytes / width * width);
      const std::span<const std::uint8_t> bytes = read_input(input_, offset, piece);
      if (bytes.empty()) return CopyOutcome::ReadFailed;
      buffer.assign(bytes.begin(), bytes.end());
      for (std::size_t s = 0; s + static_cast<std::size_t>(width) <= buffer.size();
           s += static_cast<std::size_t>(width)) {
        std::reverse(buffer.begin() + static_cast<std::ptrdiff_t>(s),
                     buffer.begin() + static_cast<std::ptrdiff_t>(s) + width);
      }
      if (!audio_.file.write(buffer)) return CopyOutcome::WriteFailed;
      offset += piece;
      length -= piece;
    }
    return CopyOutcome::Done;
  }

  void print_skip(std::int64_t offset, std::int64_t length) {
    std::printf("skip: 0x%08llX [0x%8llX]\n", static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(length));
  }

  void count_skipped(const SkipKey& key, std::int64_t size) {
    SkipCount& count = skipped_[key];
    ++count.samples;
    count.bytes += static_cast<std::uint64_t>(size);
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
      const CopyOutcome w = write_units(cursor_, cursor_ + size);
      cursor_ += size;
      return from_written(w, Step::VideoFailed);
    }
    if (t->id == model_.audio.track) return take_announced_audio(size);
    if (t->role != TrackRole::Other) return Step::NotHere;
    if (movie_ != nullptr) {
      const CopyOutcome w = from_sample(movie_->other_sample(track, cursor_, size));
      if (w != CopyOutcome::Done) return from_written(w, Step::VideoFailed);
    }
    ClassHit hit;
    if (class_at(input_, index_, cursor_, hit) && hit.cls->track == track) {
      count_skipped({track, true, hit.cls->key}, size);
      note_announcement(hit);
    } else {
      count_skipped({track, false, 0}, size);
    }
    cursor_ += size;
    return Step::Taken;
  }

  Step take_announced_audio(std::int64_t size) {
    if (model_.audio.role == TrackRole::Aac) {
      const std::span<const std::uint8_t> head = read_input(input_, cursor_, 1);
      if (head.empty() || size > kMaxAdtsPayload || !scores_.may_start(head[0])) {
        return Step::NotHere;
      }
    }
    const std::int64_t at = cursor_;
    cursor_ += size;
    if (!audio_wanted()) return Step::Taken;
    return from_written(write_audio(at, size), Step::AudioFailed);
  }

  void note_announcement(const ClassHit& hit) {
    if (hit.announced < 0) return;
    announced_ = hit.announced;
    announced_track_ = hit.cls->source->next_track;
  }

  Step take_class() {
    ClassHit hit;
    if (!class_at(input_, index_, cursor_, hit)) return Step::NotHere;
    // A sample cut by the end of the input ends the walk.
    if (hit.size > input_.size - cursor_) return Step::Stop;
    if (movie_ != nullptr) {
      const CopyOutcome w = from_sample(movie_->other_sample(hit.cls->track, cursor_, hit.size));
      if (w != CopyOutcome::Done) return from_written(w, Step::VideoFailed);
    }
    count_skipped({hit.cls->track, true, hit.cls->key}, hit.size);
    cursor_ += hit.size;
    note_announcement(hit);
    return Step::Taken;
  }

  Step take_video() {
    if (!opens_sample(input_, index_, cursor_)) return Step::NotHere;
    const Chain chain = follow_chain(input_, index_, cursor_, last_type_);
    if (chain.units == 0 || !chain.has_slice) {
      if (chain.stop == ChainEnd::ReadFailed) return Step::Stop;
      return Step::NotHere;
    }
    const CopyOutcome w = write_units(cursor_, chain.end);
    cursor_ = chain.end;
    if (w != CopyOutcome::Done) return from_written(w, Step::VideoFailed);
    // A unit that runs past the end of the input: the recording was cut there.
    return chain.stop == ChainEnd::NotVideo ? Step::Taken : Step::Stop;
  }

  Step search_on() {
    Found found = find_recognised_start(input_, index_, cursor_ + 1);
    // The end of the input is a recognised start when the search reached it.
    if (found.kind == FoundKind::Nothing && input_.size - cursor_ <= index_.search_limit) {
      found = {FoundKind::Nothing, input_.size};
    }
    if (found.offset == kNotFound) return Step::Stop;
    const Step step = take_stretch(cursor_, found.offset);
    cursor_ = found.offset;
    last_type_ = -1;  // what came before the stretch says nothing of what follows it
    return step;
  }

  // The bytes up to the next recognised start: audio, unless audio is only ever
  // announced.
  Step take_stretch(std::int64_t start, std::int64_t end) {
    if (!audio_wanted()) return Step::Taken;
    if (!stretches_are_audio_) {
      return from_written(skip_damage(start, end - start), Step::VideoFailed);
    }
    if (model_.audio.role == TrackRole::Pcm) {
      return from_written(write_audio(start, end - start), Step::AudioFailed);
    }
    // A stretch is shorter than the search limit: one window holds it.
    const std::span<const std::uint8_t> bytes = read_input(input_, start, end - start);
    if (bytes.empty()) return Step::Stop;
    const std::vector<AacPiece> pieces = cut_aac_stretch(scores_, bytes);
    for (const AacPiece& piece : pieces) {
      const CopyOutcome w = piece.frame ? write_audio(start + piece.offset, piece.length)
                                        : skip_damage(start + piece.offset, piece.length);
      if (w != CopyOutcome::Done) return from_written(w, Step::AudioFailed);
    }
    return Step::Taken;
  }

  void print_skipped() const {
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
  const AacFrameScores scores_;
  AudioOutput& audio_;
  OutputFile& video_;
  MovieSink* movie_ = nullptr;  // the playable file, when one is written
  bool stretches_are_audio_ = true;
  std::int64_t cursor_ = 0;
  SampleWalk progress_;  // the cursor and progress value the progress line shows
  int last_type_ = -1;
  std::int64_t announced_ = -1;
  std::uint32_t announced_track_ = 0;
  std::map<SkipKey, SkipCount> skipped_;
};

}  // namespace

WalkOutcome walk_with_model(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                            AudioOutput& audio, OutputFile& video) {
  ModelWalk walk(input, model, audio, video, nullptr);
  return walk.run(cursor);
}

WalkOutcome walk_to_movie(InputWindow& input, std::int64_t cursor, const StreamModel& model,
                          AudioOutput& audio, MovieSink& movie) {
  OutputFile no_video;
  ModelWalk walk(input, model, audio, no_video, &movie);
  return walk.run(cursor);
}

}  // namespace vidsalvage
