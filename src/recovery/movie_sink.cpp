#include "recovery/movie_sink.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace vidsalvage {
namespace {

// H.264 and HEVC hold at most 16 pictures for reordering: a picture's display
// rank is certain once this many pictures have followed it in decoding order.
constexpr std::size_t kReorderPictures = 16;
// Enough of a slice for its header up to the reference picture marking.
constexpr std::int64_t kSliceHeadBytes = 256;
// The last order counts the usual step between pictures is taken from: more than
// the pictures held back for reordering.
constexpr std::size_t kStepSamples = 2 * kReorderPictures;

bool is_slice(std::uint8_t type) { return type == 1 || type == 5; }

bool is_parameter_set(VideoCodec codec, int type) {
  if (codec == VideoCodec::Hevc) return type == kHevcSps || type == kHevcPps;
  return type == 7 || type == 8;
}

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

// The step between the order counts of consecutive pictures that the last
// kStepSamples of them take most often (1 from x265, 2 from x264); 0 for a
// single picture.
std::int64_t usual_step(const std::vector<std::int32_t>& orders) {
  std::map<std::int64_t, std::size_t> steps;
  const std::size_t first = orders.size() > kStepSamples ? orders.size() - kStepSamples : 1;
  for (std::size_t i = first; i < orders.size(); ++i) {
    const std::int64_t step = std::int64_t{orders[i]} - orders[i - 1];
    if (step > 0) ++steps[step];
  }
  const auto most = std::max_element(
      steps.begin(), steps.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return most == steps.end() ? 0 : most->first;
}

}  // namespace

std::vector<std::size_t> salvaged_tracks(const StreamModel& model) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < model.movie.tracks.size(); ++i) {
    const std::uint32_t id = model.movie.tracks[i].id;
    const ModelTrack* t = find_track(model, id);
    if (t == nullptr) continue;
    if (id == model.video.track || find_audio(model, id) != nullptr ||
        recognised_other(model, *t)) {
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
    const AudioModel* audio = find_audio(model, tt.id);
    if (audio != nullptr && t.role == TrackRole::Pcm) t.frame_bytes = audio->bytes_per_frame;
    if (t.role == TrackRole::Video) all_sync_ = !tt.sync_table;
    t.has_lead = tt.has_lead && t.role != TrackRole::Video;
    t.lead = tt.lead;
    movie.tracks.push_back(tt);
    tracks_.push_back(t);
  }
  for (SinkTrack& t : tracks_) {
    if (t.id == model.video.track) video_ = &t;
  }
  if (video_ == nullptr) return SinkStart::NoTemplate;
  codec_ = model.video.codec;
  // Where the reference marks keys beyond its IDR pictures, they are the pictures
  // a recovery point announces.
  assembler_ = AccessUnitAssembler({.codec = codec_, .recovery_point_is_sync = !all_sync_});
  if (codec_ == VideoCodec::Hevc) {
    // A set of the record that does not parse leaves the others usable.
    HevcConfig config;
    if (parse_hevc_config(model.video.avcc, config)) {
      (void)read_hevc_config_parameter_sets(config, hevc_sets_);
    }
    // An HEVC stream begins with an IRAP picture: the pictures before the first
    // one refer to pictures the salvage does not hold.
    awaiting_key_ = true;
  } else if (!read_config_parameter_sets(model.video.avcc, sets_)) {
    sets_ = AvcParameterSets{};
  }
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
  const bool parameter_set = is_parameter_set(codec_, nal_type(codec_, head[0]));
  AccessUnit done;
  const bool begins = assembler_.add({offset, length}, head, done);
  // The picture before reads its slice headers with the sets it was coded with:
  // a set that begins the next access unit is taken after it.
  if (begins && !done.units.empty()) {
    const SampleWrite w = add_picture(std::move(done));
    if (w != SampleWrite::Done) return w;
  }
  if (parameter_set) take_parameter_set(offset, length);
  return SampleWrite::Done;
}

void MovieSink::take_parameter_set(std::int64_t offset, std::uint32_t length) {
  const std::span<const std::uint8_t> unit = read_input(input_, offset, length);
  // A parameter set that does not parse leaves the known ones as they are.
  if (unit.empty()) return;
  if (codec_ == VideoCodec::Hevc) {
    (void)add_hevc_parameter_set(hevc_sets_, unit);
  } else {
    (void)add_parameter_set(sets_, unit);
  }
}

MovieSink::Ordering MovieSink::avc_order(const AccessUnit& unit) {
  Ordering o;
  for (const InputUnit& u : unit.units) {
    const std::span<const std::uint8_t> bytes =
        read_input(input_, u.offset, std::min<std::int64_t>(u.length, kSliceHeadBytes));
    if (bytes.empty() || !is_slice(bytes[0] & 0x1F)) continue;
    SliceHeader slice;
    if (read_slice_header(bytes, sets_, slice) != SliceRead::Read) break;
    const std::optional<PpsInfo>& pps = sets_.pps[slice.pic_parameter_set_id];
    const std::optional<SpsInfo>& sps = sets_.sps[pps->seq_parameter_set_id];
    const PictureOrder order = order_.next(slice, *sps);
    o.read = true;
    o.count = order.count;
    o.starts_sequence = order.starts_sequence;
    break;
  }
  return o;
}

// The first slice segment gives the picture's order and type; an end of
// sequence or bitstream, which follows its picture, makes the next one start
// afresh.
MovieSink::Ordering MovieSink::hevc_order(const AccessUnit& unit) {
  Ordering o;
  bool seen_slice = false;
  for (const InputUnit& u : unit.units) {
    const std::span<const std::uint8_t> bytes =
        read_input(input_, u.offset, std::min<std::int64_t>(u.length, kSliceHeadBytes));
    if (bytes.empty()) continue;
    const int type = nal_type(VideoCodec::Hevc, bytes[0]);
    if (type == kHevcEndOfSequence || type == kHevcEndOfBitstream) hevc_order_.end_of_sequence();
    if (type > kHevcLastVcl || seen_slice) continue;
    seen_slice = true;
    HevcSliceHeader slice;
    if (read_hevc_slice_header(bytes, hevc_sets_, slice) == HevcSliceRead::Read &&
        slice.first_slice_segment_in_pic_flag) {
      const HevcPps& pps = *hevc_sets_.pps[slice.slice_pic_parameter_set_id];
      const HevcPictureOrderCount poc =
          hevc_order_.next(slice, *hevc_sets_.sps[pps.pps_seq_parameter_set_id]);
      o.read = true;
      o.count = poc.count;
      o.starts_sequence = poc.starts_sequence;
      if (slice.irap()) rasl_undecodable_ = poc.starts_sequence;
    }
    o.undecodable = rasl_undecodable_ && (type == kHevcRaslN || type == kHevcRaslR);
  }
  return o;
}

SampleWrite MovieSink::add_picture(AccessUnit unit) {
  Ordering o = codec_ == VideoCodec::Hevc ? hevc_order(unit) : avc_order(unit);
  if (o.starts_sequence && !sequences_[sequence_].orders.empty()) ++sequence_;
  std::vector<std::int32_t>& orders = sequences_[sequence_].orders;
  // A picture whose order cannot be read is shown after those before it.
  if (!o.read) o.count = orders.empty() ? 0 : orders.back() + 1;
  orders.insert(std::upper_bound(orders.begin(), orders.end(), o.count), o.count);
  pictures_.push_back({std::move(unit), o.count, sequence_, o.undecodable});
  return release_pictures(kReorderPictures);
}

// After damage the pictures up to the next key refer to pictures that were lost,
// and so do those after a key that are shown before it (an open GOP's leading
// pictures): a decoder could only guess them. HEVC names those that cannot be
// decoded (RASL), and its other leading pictures (RADL) decode.
bool MovieSink::decodable(const Picture& p) {
  if (p.undecodable) return false;
  if (!awaiting_key_) {
    if (!after_key_ || p.sequence != key_sequence_ || p.order >= key_order_) return true;
    return false;
  }
  if (!p.unit.sync && !all_sync_) return false;
  awaiting_key_ = false;
  after_key_ = codec_ == VideoCodec::Avc;
  key_sequence_ = p.sequence;
  key_order_ = p.order;
  return true;
}

// Where the stream ends, or damage cuts it, pictures shown between the last ones
// may never have come: the gaps in the usual step among the order counts above
// those released while more pictures followed stand for them, so that the
// pictures after a gap keep their time.
std::uint64_t MovieSink::missing_below(const Sequence& s, std::int32_t order) {
  const std::int64_t step = usual_step(s.orders);
  if (step == 0) return 0;
  std::uint64_t missing = 0;
  auto it = std::lower_bound(s.orders.begin(), s.orders.end(), s.released_max);
  for (; it != s.orders.end() && it + 1 != s.orders.end() && *(it + 1) <= order; ++it) {
    const std::int64_t gap = std::int64_t{*(it + 1)} - *it;
    if (gap > step) missing += static_cast<std::uint64_t>(gap / step - 1);
  }
  return missing;
}

// Writes the pictures beyond the last `keep`, each presented at its sequence's
// start plus its rank among the sequence's order counts (with keep 0, the last
// pictures, plus the pictures missing before it).
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
    std::uint64_t rank = static_cast<std::uint64_t>(
        std::lower_bound(s.orders.begin(), s.orders.end(), p.order) - s.orders.begin());
    if (keep == 0) {
      rank += missing_below(s, p.order);
    } else {
      s.released_max = std::max(s.released_max, p.order);
    }
    const std::uint64_t presented = s.start_time + rank * v.delta;
    if (!decodable(p)) {
      // Its time stays taken, so the pictures after it keep theirs; before the
      // first picture written there is no time to keep.
      if (v.held.held) {
        v.held.timing.duration += v.delta;
        v.next_time += v.delta;
      }
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
  place_by_lead(*t);
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
  place_by_lead(*t);
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

// The first sample of `t` after a gap begins a chunk, as far as the walk can
// tell: it comes at the decoding time of the next video sample, plus the lead.
// The pictures not yet timed and the access unit being gathered come before it.
void MovieSink::place_by_lead(SinkTrack& t) {
  if (!t.awaiting_lead) return;
  t.awaiting_lead = false;
  const SinkTrack& v = *video_;
  const std::uint64_t waiting = pictures_.size() + (assembler_.has_picture() ? 1 : 0);
  const double next_picture = static_cast<double>(v.next_time + waiting * v.delta) / v.timescale;
  (void)move_to(t, next_picture + static_cast<double>(t.lead) / t.timescale);
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
    if (&t == video_ || !t.held.held) continue;
    // Where the reference shows how this track's chunks lie against the video's
    // samples, its first sample after the gap is placed by the video's then.
    if (t.has_lead && video_->held.held) {
      t.awaiting_lead = true;
    } else {
      (void)move_to(t, meet);
    }
  }
  // The pictures after a gap are ranked among themselves: their sequence starts
  // after it.
  if (moved_video && !sequences_[sequence_].orders.empty()) ++sequence_;
  if (moved_video) {
    awaiting_key_ = true;
    after_key_ = false;
    // The HEVC picture after the gap starts afresh, as if the stream began there.
    hevc_order_.end_of_sequence();
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
