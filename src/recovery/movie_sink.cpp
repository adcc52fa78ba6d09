#include "recovery/movie_sink.h"

#include <algorithm>
#include <cmath>

namespace vidsalvage {
namespace {

// H.264 holds at most 16 pictures for reordering: a picture's display rank is
// certain once this many pictures have followed it in decoding order.
constexpr std::size_t kReorderPictures = 16;
// Enough of a slice for its header up to the reference picture marking.
constexpr std::int64_t kSliceHeadBytes = 256;

bool is_slice(std::uint8_t type) { return type == 1 || type == 5; }

// The template's index of track `id`, or SIZE_MAX.
std::size_t template_index(const MovieTemplate& movie, std::uint32_t id) {
  for (std::size_t i = 0; i < movie.tracks.size(); ++i) {
    if (movie.tracks[i].id == id) return i;
  }
  return SIZE_MAX;
}

// A track of the Other role whose samples the walk can tell: by a class of its
// own, by the size its samples announce, or as the track a class announces.
bool recognised_other(const StreamModel& model, const ModelTrack& t) {
  if (t.role != TrackRole::Other) return false;
  if (!t.classes.empty() || t.link.width != 0) return true;
  for (const ModelTrack& other : model.tracks) {
    for (const PrefixClass& c : other.classes) {
      if (c.next_track == t.id) return true;
    }
  }
  return false;
}

// `value` rounded to a whole number of `step`.
std::uint64_t whole_steps(double value, std::uint32_t step) {
  if (step == 0 || value <= 0) return 0;
  return static_cast<std::uint64_t>(std::llround(value / step)) * step;
}

}  // namespace

std::vector<std::size_t> salvaged_tracks(const StreamModel& model) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < model.movie.tracks.size(); ++i) {
    const std::uint32_t id = model.movie.tracks[i].id;
    const ModelTrack* t = find_track(model, id);
    if (t == nullptr) continue;
    if (id == model.video.track || id == model.audio.track || recognised_other(model, *t)) {
      out.push_back(i);
    }
  }
  return out;
}

double reference_byte_rate(const StreamModel& model) {
  const ModelTrack* v = find_track(model, model.video.track);
  if (v == nullptr || v->timescale == 0) return 0;
  std::uint64_t ticks = 0;
  for (const DurationRun& run : v->durations) ticks += std::uint64_t{run.count} * run.delta;
  if (ticks == 0) return 0;
  return static_cast<double>(model.reference_size) * v->timescale / static_cast<double>(ticks);
}

SinkStart MovieSink::start(OutputFile& out, const StreamModel& model) {
  const std::vector<std::size_t> chosen = salvaged_tracks(model);
  const std::size_t video = template_index(model.movie, model.video.track);
  if (video == SIZE_MAX || model.movie.tracks[video].sample_entry.empty()) {
    return SinkStart::NoTemplate;
  }
  MovieTemplate movie = model.movie;
  movie.tracks.clear();
  for (const std::size_t i : chosen) {
    const TrackTemplate& tt = model.movie.tracks[i];
    if (tt.sample_entry.empty() || tt.timescale == 0) continue;
    SinkTrack t;
    t.index = movie.tracks.size();
    t.id = tt.id;
    t.role = find_track(model, tt.id)->role;
    t.timescale = tt.timescale;
    t.delta = std::max<std::uint32_t>(tt.sample_delta, 1);
    if (t.role == TrackRole::Pcm) t.frame_bytes = model.audio.bytes_per_frame;
    if (t.role == TrackRole::Video) all_sync_ = !tt.sync_table;
    movie.tracks.push_back(tt);
    tracks_.push_back(t);
  }
  for (SinkTrack& t : tracks_) {
    if (t.id == model.video.track) video_ = &t;
  }
  if (video_ == nullptr) return SinkStart::NoTemplate;
  // Where the reference marks keys beyond its IDR pictures, they are the pictures
  // a recovery point announces.
  assembler_ = AccessUnitAssembler({.recovery_point_is_sync = !all_sync_});
  if (!read_config_parameter_sets(model.video.avcc, sets_)) sets_ = AvcParameterSets{};
  byte_rate_ = reference_byte_rate(model);
  if (!writer_.start(out, movie)) {
    return out.is_open() && movie.tracks.empty() ? SinkStart::NoTemplate : SinkStart::WriteFailed;
  }
  return SinkStart::Started;
}

MovieSink::SinkTrack* MovieSink::track_of(std::uint32_t id) {
  for (SinkTrack& t : tracks_) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

SampleWrite MovieSink::write_held(SinkTrack& t) {
  const SampleWrite w = write_sample(t, t.before);
  if (w != SampleWrite::Done) return w;
  return write_sample(t, t.held);
}

SampleWrite MovieSink::write_sample(const SinkTrack& t, HeldSample& h) {
  if (!h.held) return SampleWrite::Done;
  h.held = false;
  if (t.role == TrackRole::Video) {
    SampleWrite w = writer_.begin_sample(t.index, h.timing);
    if (w == SampleWrite::Done) w = writer_.append_units(input_, h.units);
    if (w == SampleWrite::Done) return writer_.end_sample();
    writer_.abandon_sample();
    return w;
  }
  return writer_.add_input_sample(t.index, h.timing, input_, h.offset,
                                  static_cast<std::uint32_t>(h.length));
}

SampleWrite MovieSink::hold(SinkTrack& t, HeldSample sample) {
  const SampleWrite w = write_sample(t, t.before);
  sample.held = true;
  t.before = std::move(t.held);
  t.held = std::move(sample);
  t.next_time += t.held.timing.duration;
  return w;
}

SampleWrite MovieSink::video_unit(std::int64_t offset, std::uint32_t length) {
  if (video_ == nullptr) return SampleWrite::Refused;
  resume_after_damage();
  const std::span<const std::uint8_t> head =
      read_input(input_, offset, std::min<std::int64_t>(length, kAccessUnitHeadBytes));
  if (head.empty()) return SampleWrite::ReadFailed;
  const auto type = static_cast<std::uint8_t>(head[0] & 0x1F);
  if (type == 7 || type == 8) {
    const std::span<const std::uint8_t> unit = read_input(input_, offset, length);
    // A parameter set that does not parse leaves the known ones as they are.
    if (!unit.empty()) (void)add_parameter_set(sets_, unit);
  }
  AccessUnit done;
  const bool begins = assembler_.add({offset, length}, head, done);
  if (!begins || done.units.empty()) return SampleWrite::Done;
  return add_picture(std::move(done));
}

std::int32_t MovieSink::picture_order(const AccessUnit& unit, bool& starts_sequence) {
  starts_sequence = false;
  for (const InputUnit& u : unit.units) {
    const std::span<const std::uint8_t> bytes =
        read_input(input_, u.offset, std::min<std::int64_t>(u.length, kSliceHeadBytes));
    if (bytes.empty() || !is_slice(bytes[0] & 0x1F)) continue;
    SliceHeader slice;
    if (read_slice_header(bytes, sets_, slice) != SliceRead::Read) break;
    const std::optional<PpsInfo>& pps = sets_.pps[slice.pic_parameter_set_id];
    const std::optional<SpsInfo>& sps = sets_.sps[pps->seq_parameter_set_id];
    const PictureOrder order = order_.next(slice, *sps);
    starts_sequence = order.starts_sequence;
    return order.count;
  }
  // A picture whose order cannot be read is shown after those before it.
  const Sequence& s = sequences_[sequence_];
  return s.orders.empty() ? 0 : s.orders.back() + 1;
}

SampleWrite MovieSink::add_picture(AccessUnit unit) {
  bool starts = false;
  const std::int32_t order = picture_order(unit, starts);
  if (starts && !sequences_[sequence_].orders.empty()) ++sequence_;
  std::vector<std::int32_t>& orders = sequences_[sequence_].orders;
  orders.insert(std::upper_bound(orders.begin(), orders.end(), order), order);
  pictures_.push_back({std::move(unit), order, sequence_});
  return release_pictures(kReorderPictures);
}

// After damage the pictures up to the next key refer to pictures that were lost,
// and so do those after a key that are shown before it (an open GOP's leading
// pictures): a decoder could only guess them.
bool MovieSink::decodable(const Picture& p) {
  if (!awaiting_key_) {
    if (!after_key_ || p.sequence != key_sequence_ || p.order >= key_order_) return true;
    return false;
  }
  if (!p.unit.sync && !all_sync_) return false;
  awaiting_key_ = false;
  after_key_ = true;
  key_sequence_ = p.sequence;
  key_order_ = p.order;
  return true;
}

// Writes the pictures beyond the last `keep`, each presented at its sequence's
// start plus its rank among the sequence's order counts.
SampleWrite MovieSink::release_pictures(std::size_t keep) {
  SinkTrack& v = *video_;
  while (pictures_.size() > keep) {
    Picture p = std::move(pictures_.front());
    pictures_.pop_front();
    Sequence& s = sequences_[p.sequence];
    if (!s.started) {
      s.started = true;
      s.start_time = v.next_time;
    }
    const auto rank = static_cast<std::uint64_t>(
        std::lower_bound(s.orders.begin(), s.orders.end(), p.order) - s.orders.begin());
    const std::uint64_t presented = s.start_time + rank * v.delta;
    if (!decodable(p)) {
      // Its time stays taken, so the pictures after it keep theirs.
      v.held.timing.duration += v.delta;
      v.next_time += v.delta;
      continue;
    }
    HeldSample h;
    h.units = std::move(p.unit.units);
    h.timing.duration = v.delta;
    h.timing.composition_offset = static_cast<std::int32_t>(static_cast<std::int64_t>(presented) -
                                                            static_cast<std::int64_t>(v.next_time));
    h.timing.sync = all_sync_ || p.unit.sync;
    const SampleWrite w = hold(v, std::move(h));
    ++video_written_;
    if (w != SampleWrite::Done) return w;
    // Sequences before the one now written are done with.
    sequences_.erase(sequences_.begin(), sequences_.find(p.sequence));
  }
  return SampleWrite::Done;
}

SampleWrite MovieSink::audio_frame(std::uint32_t track, std::int64_t offset, std::int64_t length) {
  SinkTrack* t = track_of(track);
  // A track the movie does not hold (its template was not kept) loses the sample.
  if (t == nullptr) return SampleWrite::Done;
  if (length <= 0 || length > UINT32_MAX) return SampleWrite::Refused;
  resume_after_damage();
  // A frame that runs to the end of a cut recording is most likely cut with it:
  // a decoder would stumble on it.
  if (t->role == TrackRole::Aac && end_is_cut_ && offset + length >= input_.size) {
    return SampleWrite::Done;
  }
  HeldSample h;
  h.offset = offset;
  h.length = length;
  h.timing.duration = t->delta;
  return hold(*t, h);
}

SampleWrite MovieSink::other_sample(std::uint32_t track, std::int64_t offset, std::int64_t size) {
  return audio_frame(track, offset, size);
}

SampleWrite MovieSink::pcm(std::uint32_t track, std::int64_t offset, std::int64_t length) {
  SinkTrack* t = track_of(track);
  if (t == nullptr) return SampleWrite::Done;
  if (t->frame_bytes == 0) return SampleWrite::Refused;
  resume_after_damage();
  const std::int64_t frames = length / t->frame_bytes;
  if (frames == 0) return SampleWrite::Done;
  // All but the last frame go now; the last is held like any track's last sample.
  SampleWrite w = write_held(*t);
  if (w != SampleWrite::Done) return w;
  const std::int64_t before = (frames - 1) * t->frame_bytes;
  if (before > 0) {
    w = writer_.add_input_frames(t->index, input_, offset, before, t->frame_bytes, t->delta);
    if (w != SampleWrite::Done) return w;
    t->next_time += static_cast<std::uint64_t>(frames - 1) * t->delta;
  }
  HeldSample h;
  h.offset = offset + before;
  h.length = t->frame_bytes;
  h.timing.duration = t->delta;
  return hold(*t, h);
}

SampleWrite MovieSink::damage(std::int64_t offset, std::int64_t length) {
  // An AAC frame that ends where damage begins may have run into it: a frame cut
  // short there reads as whole to the walk. Its time comes back with the gap.
  for (SinkTrack& t : tracks_) {
    HeldSample& h = t.held;
    if (t.role == TrackRole::Aac && h.held && h.offset + h.length == offset) {
      t.next_time -= h.timing.duration;
      h = std::move(t.before);
      t.before = HeldSample{};
    }
  }
  // The units before the damage make the last access unit they can.
  AccessUnit last;
  if (assembler_.flush(last)) {
    const SampleWrite w = add_picture(std::move(last));
    if (w != SampleWrite::Done) return w;
  }
  const SampleWrite w = release_pictures(0);
  if (w != SampleWrite::Done) return w;
  // The tracks meet again at the next sample: damage at the very end of the
  // recording lengthens nothing.
  damaged_bytes_ += std::max<std::int64_t>(length, 0);
  return SampleWrite::Done;
}

void MovieSink::resume_after_damage() {
  if (damaged_bytes_ == 0) return;
  align_tracks(damaged_bytes_);
  damaged_bytes_ = 0;
}

// Puts every track's next sample at one time: the latest end among the tracks
// plus the time the reference takes to record the skipped bytes, each track's
// share rounded to its whole samples. The gap goes into the held sample's duration.
// Lengthens the held sample of `t` so that its next sample comes at `seconds`, in
// whole samples. False when it does not move.
bool MovieSink::move_to(SinkTrack& t, double seconds) {
  const double target = seconds * t.timescale;
  const std::uint64_t gap = whole_steps(target - static_cast<double>(t.next_time), t.delta);
  if (gap == 0 || gap + t.held.timing.duration > UINT32_MAX) return false;
  t.held.timing.duration += static_cast<std::uint32_t>(gap);
  t.next_time += gap;
  return true;
}

void MovieSink::align_tracks(std::int64_t skipped_bytes) {
  // The video is the clock: audio cut from a damaged stretch may run ahead.
  double latest = 0;
  if (video_->held.held) {
    latest = static_cast<double>(video_->next_time) / video_->timescale;
  } else {
    for (const SinkTrack& t : tracks_) {
      if (t.held.held) latest = std::max(latest, static_cast<double>(t.next_time) / t.timescale);
    }
  }
  const double lost = byte_rate_ > 0 ? static_cast<double>(skipped_bytes) / byte_rate_ : 0;
  // Each track meets the estimate on its own grid: the video's rounding is no
  // better a clock for the others, whose chunks lie elsewhere in the interleave.
  const double meet = latest + lost;
  const bool moved_video = video_->held.held && move_to(*video_, meet);
  for (SinkTrack& t : tracks_) {
    if (&t != video_ && t.held.held) (void)move_to(t, meet);
  }
  // The pictures after a gap are ranked among themselves: their sequence starts
  // after it.
  if (moved_video && !sequences_[sequence_].orders.empty()) ++sequence_;
  if (moved_video) {
    awaiting_key_ = true;
    after_key_ = false;
  }
}

bool MovieSink::finish() {
  // After a failed read the held samples may not all be copied: those that cannot
  // be are left out, and the movie is finished around the others.
  const auto written = [](SampleWrite w) {
    return w == SampleWrite::Done || w == SampleWrite::ReadFailed;
  };
  AccessUnit last;
  if (video_ != nullptr && assembler_.flush(last) && !written(add_picture(std::move(last)))) {
    return false;
  }
  if (video_ != nullptr && !written(release_pictures(0))) return false;
  for (SinkTrack& t : tracks_) {
    if (!written(write_held(t))) return false;
  }
  return writer_.finish();
}

std::uint64_t MovieSink::video_samples() const { return video_written_; }

}  // namespace vidsalvage
