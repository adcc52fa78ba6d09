#include "model/model_learning.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <map>
#include <string_view>

#include "codec/esds.h"
#include "codec/hevc_config.h"
#include "codec/klv.h"
#include "codec/mpeg4_audio_config.h"

namespace vidsalvage {
namespace {

// Bounds what a hostile table can make us list: a day of 60 fps video with its
// audio and one small sample of another track per frame stays below it.
constexpr std::size_t kMaxVisits = std::size_t{1} << 24;
constexpr std::uint64_t kLinkPercent = 99;  // a link must hold for this share of samples
constexpr std::int64_t kMaxAdjust = 1024;   // a size field counts its sample give or take this
constexpr std::size_t kMaxSecondBytes = 8;  // more kinds of first unit than this: any second byte

// The formatSpecificFlags of a version 2 sound description (Core Audio's
// AudioStreamBasicDescription flags).
constexpr std::uint32_t kLpcmFloat = 1u << 0;
constexpr std::uint32_t kLpcmBigEndian = 1u << 1;
constexpr std::uint32_t kLpcmSigned = 1u << 2;
constexpr std::uint32_t kLpcmNonInterleaved = 1u << 5;
constexpr std::uint8_t kPcmConfigLittleEndian = 1;  // pcmC format_flags, ISO/IEC 23003-5

bool holds_field(const SampleHead& s, const SizeField& f, std::int64_t size) {
  if (f.offset + f.width > s.length) return false;
  return static_cast<std::int64_t>(field_value(s.bytes, f)) + f.adjust == size;
}

// Every size field a sample's first bytes can hold: widths 4 and 2, either byte order.
std::vector<SizeField> field_candidates() {
  std::vector<SizeField> fields;
  for (std::uint32_t width : {4u, 2u}) {
    for (bool little : {false, true}) {
      for (std::uint32_t offset = 0; offset + width <= kClassBytes; ++offset) {
        fields.push_back({offset, width, little, 0});
      }
    }
  }
  return fields;
}

bool aac_format(const TrackTables& t, AudioModel& a, SkippedAudio& why) {
  EsdsInfo esds;
  // The esds body begins with its version and flags.
  if (t.esds.size() <= 4 || parse_esds(std::span(t.esds).subspan(4), esds) != kDescriptorOk ||
      esds.object_type_indication != kObjectTypeMpeg4Audio || esds.dsi_length < 2) {
    why.why = AudioSkip::NoDecoderConfig;
    return false;
  }
  if (esds.dsi_length > kMaxAudioConfigBytes) {
    why.why = AudioSkip::ConfigTooLarge;
    why.size = esds.dsi_length;
    return false;
  }
  // A frame larger than any AAC frame: the tables are not of AAC, and the model
  // would not hold its size.
  const std::uint32_t largest =
      t.uniform_size != 0
          ? t.uniform_size
          : (t.sizes.empty() ? 0 : *std::max_element(t.sizes.begin(), t.sizes.end()));
  if (largest > kMaxAacFrameBytes) {
    why.why = AudioSkip::FrameTooLarge;
    why.size = largest;
    return false;
  }
  const auto config = std::span(t.esds).subspan(4 + esds.dsi_offset, esds.dsi_length);
  // Taken when the recovery can write it as ADTS.
  AudioConfig adts;
  const AscDecision decision = adts_config_from_asc(config, adts);
  switch (decision.outcome) {
    case AscOutcome::Adts:
      break;
    case AscOutcome::TooShort:
      why.why = AudioSkip::ConfigCutShort;
      return false;
    case AscOutcome::UnsupportedType:
      why.why = AudioSkip::ObjectType;
      why.object_type = decision.refused_type;
      return false;
    case AscOutcome::UnsupportedRate:
      why.why = AudioSkip::UnindexedRate;
      return false;
  }
  a.role = TrackRole::Aac;
  a.config.assign(config.begin(), config.end());
  return true;
}

// How an entry type stores its samples, before its fields and boxes say more.
struct PcmEntry {
  std::string_view type;
  std::uint32_t bits;  // 0: the entry's samplesize
  bool float_samples;
  bool little_endian;
};
constexpr PcmEntry kPcmEntries[] = {{"sowt", 0, false, true},   {"twos", 0, false, false},
                                    {"raw ", 0, false, true},   {"in24", 24, false, false},
                                    {"in32", 32, false, false}, {"fl32", 32, true, false},
                                    {"fl64", 64, true, false},  {"lpcm", 0, false, false},
                                    {"ipcm", 0, false, false},  {"fpcm", 0, true, false}};

bool pcm_format(const TrackTables& t, const PcmEntry& e, AudioModel& a) {
  a.role = TrackRole::Pcm;
  a.channels = t.channels;
  a.bits = e.bits != 0 ? e.bits : t.sample_bits;
  a.float_samples = e.float_samples;
  a.little_endian = e.little_endian || t.little_endian_box;
  a.signed_samples = true;
  if (e.type == "raw ") a.signed_samples = a.bits != 8;  // 8-bit offset binary, as in WAV
  if (e.type == "lpcm") {
    if (t.sound_version != 2 || t.frames_per_packet != 1 ||
        (t.lpcm_flags & kLpcmNonInterleaved) != 0) {
      return false;
    }
    a.float_samples = (t.lpcm_flags & kLpcmFloat) != 0;
    a.little_endian = (t.lpcm_flags & kLpcmBigEndian) == 0;
    a.signed_samples = a.float_samples || (t.lpcm_flags & kLpcmSigned) != 0;
  }
  if (e.type == "ipcm" || e.type == "fpcm") {
    if (!t.has_pcm_config) return false;
    a.bits = t.pcm_sample_size;
    a.little_endian = (t.pcm_format_flags & kPcmConfigLittleEndian) != 0;
  }
  // Rates above 65535 Hz do not fit the 16.16 field of versions 0 and 1.
  a.rate = t.sample_rate != 0 && (t.sound_version == 2 || t.timescale <= 0xFFFF) ? t.sample_rate
                                                                                 : t.timescale;
  a.bytes_per_frame = a.channels * (a.bits / 8);
  const bool frame_ok = t.bytes_per_frame == 0 || t.bytes_per_frame == a.bytes_per_frame;
  return frame_ok && a.rate != 0 && a.channels >= 1 && a.channels <= kMaxPcmChannels &&
         pcm_format_valid(a);
}

// The first unit of the video samples: how often each kind opened one.
struct FirstSeen {
  std::uint32_t length = 0;
  std::uint64_t count = 0;
  bool varies = false;
  // A length seen once may be chance; a unit that kept its length is recognised by it.
  std::uint32_t fixed_length() const { return varies || count < 2 ? 0 : length; }
};

void infer_size_rule(const std::vector<const SampleHead*>& members, std::size_t length,
                     PrefixClass& c) {
  for (SizeField f : field_candidates()) {
    if (f.offset + f.width > length) continue;
    const std::int64_t adjust = static_cast<std::int64_t>(members[0]->size) -
                                static_cast<std::int64_t>(field_value(members[0]->bytes, f));
    if (adjust < -kMaxAdjust || adjust > kMaxAdjust) continue;
    f.adjust = static_cast<std::int32_t>(adjust);
    const bool all = std::all_of(members.begin(), members.end(),
                                 [&](const SampleHead* s) { return holds_field(*s, f, s->size); });
    if (all) {
      c.size_rule = SizeRule::Field;
      c.size_field = f;
      return;
    }
  }
  const std::int32_t items = members[0]->klv_items;
  const bool chain =
      items > 0 && std::all_of(members.begin(), members.end(),
                               [&](const SampleHead* s) { return s->klv_items == items; });
  if (chain) {
    c.size_rule = SizeRule::Klv;
    c.klv_items = static_cast<std::uint32_t>(items);
  }
}

PrefixClass make_class(const std::array<std::uint8_t, 4>& prefix,
                       const std::vector<const SampleHead*>& members) {
  PrefixClass c;
  c.prefix = prefix;
  c.samples = members.size();
  c.min_size = members[0]->size;
  std::map<std::uint32_t, std::uint64_t> next_counts;
  for (const SampleHead* s : members) {
    c.min_size = std::min(c.min_size, s->size);
    c.max_size = std::max(c.max_size, s->size);
    if (s->next_size >= 0) ++next_counts[s->next_track];
  }
  const std::size_t length = std::min<std::size_t>(c.min_size, kClassBytes);
  c.bytes.assign(members[0]->bytes.begin(), members[0]->bytes.begin() + length);
  c.fixed.assign(length, 1);
  for (const SampleHead* s : members) {
    for (std::size_t k = 0; k < length; ++k) {
      if (s->bytes[k] != c.bytes[k]) c.fixed[k] = 0;
    }
  }
  for (std::size_t k = 0; k < length; ++k) {
    if (c.fixed[k] == 0) c.bytes[k] = 0;
  }
  std::uint64_t most = 0;
  for (const auto& [id, count] : next_counts) {
    if (count > most) {
      most = count;
      c.next_track = id;
    }
  }
  if (c.min_size != c.max_size) infer_size_rule(members, length, c);
  return c;
}

// The census of the samples in file order, and what each role learns from them.
class Learner {
 public:
  Learner(InputWindow& input, const std::vector<TrackTables>& tracks, const Roles& roles,
          StreamModel& model)
      : input_(input), tables_(tracks), roles_(roles), model_(model) {}

  bool run(LearnError& error) {
    if (!list_visits(tables_, roles_, input_.size, visits_, error)) return false;
    audio_.assign(roles_.audio.begin(), roles_.audio.end());
    slot_.assign(tables_.size(), kNoTrack);
    for (std::size_t k = 0; k < roles_.audio_index.size(); ++k) {
      slot_[roles_.audio_index[k]] = static_cast<std::uint32_t>(k);
    }
    census_.assign(roles_.audio.size(), {});
    if (!visit_all(error)) return false;
    finish_tracks();
    finish_video();
    finish_audio();
    return true;
  }

 private:
  static bool fail(LearnError& error, LearnStatus status, std::uint32_t track) {
    error = {status, track, 0};
    return false;
  }

  bool visit_all(LearnError& error) {
    stats_.assign(tables_.size(), {});
    heads_of_.assign(tables_.size(), {});
    head_of_visit_.assign(visits_.size(), kNoTrack);
    for (std::size_t i = 0; i < visits_.size(); ++i) {
      const Visit& v = visits_[i];
      count_sample(v);
      bool ok = true;
      switch (roles_.of[v.track]) {
        case TrackRole::Video:
          ok = visit_video(v);
          break;
        case TrackRole::Aac:
          ok = visit_aac(v);
          break;
        case TrackRole::Pcm:
          count_audio(v);
          break;
        case TrackRole::Other:
          ok = visit_other(v, i);
          break;
      }
      if (!ok) return fail(error, LearnStatus::ReadFailed, tables_[v.track].id);
    }
    return true;
  }

  struct Stats {
    std::uint64_t samples = 0;
    std::uint32_t min_size = 0;
    std::uint32_t max_size = 0;
    std::int64_t last_end = -1;  // where the track's previous sample ended
  };

  void count_sample(const Visit& v) {
    Stats& s = stats_[v.track];
    s.min_size = s.samples == 0 ? v.size : std::min(s.min_size, v.size);
    s.max_size = std::max(s.max_size, v.size);
    ++s.samples;
  }

  void count_audio(const Visit& v) {
    Stats& s = stats_[v.track];
    AudioModel& a = audio_[slot_[v.track]];
    if (s.last_end == v.offset) ++a.back_to_back;
    s.last_end = v.offset + v.size;
    ++a.samples;
  }

  bool visit_video(const Visit& v) {
    VideoModel& m = model_.video;
    Stats& s = stats_[v.track];
    if (s.last_end >= 0 && v.offset > s.last_end) {
      m.max_gap =
          std::max<std::uint64_t>(m.max_gap, static_cast<std::uint64_t>(v.offset - s.last_end));
    }
    s.last_end = v.offset + v.size;
    m.max_sample = std::max(m.max_sample, v.size);
    const std::uint32_t length_size = m.nal_length_size;
    const std::int64_t end = v.offset + v.size;
    bool first = true;
    for (std::int64_t p = v.offset; end - p > length_size;) {
      const std::int64_t want = std::min<std::int64_t>(length_size + 2, end - p);
      const std::span<const std::uint8_t> head = read_input(input_, p, want);
      if (head.empty()) return false;
      const auto length = static_cast<std::uint32_t>(field_value(head, {0, length_size, false, 0}));
      if (length == 0 || length > end - p - length_size) break;  // a malformed sample
      const std::uint8_t header = head[length_size];
      const int second = length >= 2 ? head[length_size + 1] : -1;
      note_unit(header, second, length, first);
      first = false;
      p += length_size + length;
    }
    return true;
  }

  void note_unit(std::uint8_t header, int second, std::uint32_t length, bool first) {
    VideoModel& m = model_.video;
    const int type = nal_type(m.codec, header);
    m.headers.set(header);
    if (second >= 0) heads_.set(std::size_t{header} << 8 | static_cast<std::size_t>(second));
    if (previous_type_ >= 0) {
      m.bigrams.set(static_cast<std::size_t>(previous_type_ * static_cast<int>(kNalTypes) + type));
    }
    previous_type_ = type;
    m.max_unit = std::max(m.max_unit, length);
    if (!first) return;
    FirstSeen& seen = first_units_[{header, second}];
    if (seen.count++ == 0) seen.length = length;
    if (seen.length != length) seen.varies = true;
  }

  struct AacCensus {
    std::map<std::uint32_t, std::uint64_t> sizes;
    std::map<std::uint16_t, std::uint64_t> starts2;
    std::map<std::uint32_t, std::uint64_t> starts3;
  };

  bool visit_aac(const Visit& v) {
    count_audio(v);
    AacCensus& c = census_[slot_[v.track]];
    ++c.sizes[v.size];
    if (v.size < 2) return true;
    const std::span<const std::uint8_t> head =
        read_input(input_, v.offset, std::min<std::int64_t>(3, v.size));
    if (head.empty()) return false;
    ++c.starts2[static_cast<std::uint16_t>(head[0] << 8 | head[1])];
    if (head.size() == 3) {
      ++c.starts3[std::uint32_t{head[0]} << 16 | std::uint32_t{head[1]} << 8 | head[2]];
    }
    return true;
  }

  bool visit_other(const Visit& v, std::size_t index) {
    SampleHead s;
    s.size = v.size;
    s.length = std::min<std::uint32_t>(v.size, kClassBytes);
    if (s.length > 0) {
      const std::span<const std::uint8_t> head = read_input(input_, v.offset, s.length);
      if (head.empty()) return false;
      std::copy(head.begin(), head.end(), s.bytes.begin());
    }
    const KlvChain chain = follow_klv(input_, v.offset, v.size, kMaxKlvItems);
    if (chain.read_failed) return false;
    s.klv_items = chain.bytes == v.size ? static_cast<std::int32_t>(chain.items) : -1;
    if (index + 1 < visits_.size()) {
      s.next_size = visits_[index + 1].size;
      s.next_track = tables_[visits_[index + 1].track].id;
    }
    head_of_visit_[index] = static_cast<std::uint32_t>(heads_of_[v.track].size());
    heads_of_[v.track].push_back(s);
    return true;
  }

  void finish_tracks() {
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const TrackTables& t = tables_[i];
      ModelTrack track;
      track.id = t.id;
      track.handler = t.handler;
      track.entry_type = t.entry_type.empty() ? std::string("none") : t.entry_type;
      track.name = t.handler_name;
      track.role = roles_.of[i];
      track.timescale = t.timescale;
      track.durations = t.durations;
      track.samples = stats_[i].samples;
      track.min_size = stats_[i].min_size;
      track.max_size = stats_[i].max_size;
      if (track.role == TrackRole::Other) {
        const Link link = infer_link(heads_of_[i]);
        track.link = link.field;
        track.link_held = link.held;
        track.link_of = link.of;
        track.classes = infer_classes(heads_of_[i]);
      }
      model_.tracks.push_back(std::move(track));
    }
  }

  void finish_video() {
    VideoModel& m = model_.video;
    m.track = tables_[roles_.video].id;
    // The samples of other tracks before the first video sample and after the
    // last are a gap too: some phones write all their audio behind the video.
    std::int64_t first_video = -1;
    std::int64_t media_start = -1;
    std::int64_t media_end = 0;
    for (const Visit& v : visits_) {
      if (media_start < 0) media_start = v.offset;
      if (first_video < 0 && v.track == roles_.video) first_video = v.offset;
      media_end = std::max(media_end, v.offset + std::int64_t{v.size});
    }
    const std::int64_t video_end = stats_[roles_.video].last_end;
    if (first_video > media_start) {
      m.max_gap =
          std::max<std::uint64_t>(m.max_gap, static_cast<std::uint64_t>(first_video - media_start));
    }
    if (video_end >= 0 && media_end > video_end) {
      m.max_gap =
          std::max<std::uint64_t>(m.max_gap, static_cast<std::uint64_t>(media_end - video_end));
    }
    for (std::size_t h = 0; h < heads_.size(); ++h) {
      if (heads_[h]) m.heads.push_back(static_cast<std::uint16_t>(h));
    }
    std::map<std::uint8_t, std::vector<std::pair<int, FirstSeen>>> by_header;
    for (const auto& [key, seen] : first_units_)
      by_header[key.first].emplace_back(key.second, seen);
    for (const auto& [header, seconds] : by_header) {
      // HEVC's second byte holds the temporal id, which varies from picture to picture.
      const bool any = is_slice_type(m.codec, nal_type(m.codec, header)) ||
                       seconds.size() > kMaxSecondBytes || seconds.front().first < 0;
      if (any) {
        // Slices vary in length; so does a unit whose second byte varies.
        m.first_units.push_back({header, -1, 0});
      } else {
        for (const auto& [second, seen] : seconds) {
          m.first_units.push_back({header, second, seen.fixed_length()});
        }
      }
    }
    if (m.first_units.size() > kMaxFirstUnits) m.first_units.resize(kMaxFirstUnits);
  }

  void finish_audio() {
    for (std::size_t k = 0; k < audio_.size(); ++k) {
      AudioModel& a = audio_[k];
      a.sizes.assign(census_[k].sizes.begin(), census_[k].sizes.end());
      a.starts2.assign(census_[k].starts2.begin(), census_[k].starts2.end());
      a.starts3.assign(census_[k].starts3.begin(), census_[k].starts3.end());
    }
    // A sample is announced when the sample in front of it holds its size.
    for (std::size_t i = 1; i < visits_.size(); ++i) {
      const std::uint32_t slot = slot_[visits_[i].track];
      const std::uint32_t before = visits_[i - 1].track;
      if (slot == kNoTrack || roles_.of[before] != TrackRole::Other) continue;
      const ModelTrack& t = model_.tracks[before];
      const SampleHead& head = heads_of_[before][head_of_visit_[i - 1]];
      if (t.link.width != 0 && holds_field(head, t.link, visits_[i].size)) ++audio_[slot].announced;
    }
    learn_audio_order();
    for (std::size_t k = 0; k < audio_.size(); ++k) {
      if (k == 0) {
        model_.audio = std::move(audio_[k]);
      } else {
        model_.more_audio.push_back(std::move(audio_[k]));
      }
    }
  }

  // What tells several audio tracks apart, where there are several: which track's
  // sample each one follows back to back; and the sizes of the PCM chunks, by which
  // the walk steps over PCM that reads like anything.
  void learn_audio_order() {
    std::vector<std::map<std::uint32_t, std::uint64_t>> after(audio_.size());
    std::vector<std::map<std::uint32_t, std::uint64_t>> chunks(audio_.size());
    std::uint64_t chunk = 0;
    for (std::size_t i = 0; i < visits_.size(); ++i) {
      const Visit& v = visits_[i];
      const std::uint32_t slot = slot_[v.track];
      if (slot == kNoTrack) continue;
      const Visit* before = i > 0 ? &visits_[i - 1] : nullptr;
      const bool joined = before != nullptr && slot_[before->track] != kNoTrack &&
                          before->offset + before->size == v.offset;
      ++after[slot][joined ? tables_[before->track].id : 0];
      chunk = joined && before->track == v.track ? chunk + v.size : v.size;
      const Visit* next = i + 1 < visits_.size() ? &visits_[i + 1] : nullptr;
      const bool chunk_ends =
          next == nullptr || next->track != v.track || next->offset != v.offset + v.size;
      if (chunk_ends && audio_[slot].role == TrackRole::Pcm && chunk <= kMaxPcmChunkBytes) {
        ++chunks[slot][static_cast<std::uint32_t>(chunk)];
      }
    }
    for (std::size_t k = 0; k < audio_.size(); ++k) {
      if (audio_.size() > 1) audio_[k].after.assign(after[k].begin(), after[k].end());
      audio_[k].chunks.assign(chunks[k].begin(), chunks[k].end());
    }
  }

  InputWindow& input_;
  const std::vector<TrackTables>& tables_;
  const Roles& roles_;
  StreamModel& model_;
  std::vector<Visit> visits_;
  std::vector<Stats> stats_;
  std::vector<std::vector<SampleHead>> heads_of_;  // by track: the heads of Other samples
  std::vector<std::uint32_t> head_of_visit_;       // where in heads_of_ a visit's head is
  std::vector<AudioModel> audio_;
  std::vector<AacCensus> census_;
  std::vector<std::uint32_t> slot_;  // by track: its place among the audio tracks
  int previous_type_ = -1;
  std::bitset<65536> heads_;
  std::map<std::pair<std::uint8_t, int>, FirstSeen> first_units_;
};

// Sample bytes the tables claim for a track, without listing its samples.
std::uint64_t claimed_bytes(const TrackTables& t) {
  if (t.uniform_size != 0) return std::uint64_t{t.uniform_size} * t.sample_count;
  std::uint64_t sum = 0;
  for (std::uint32_t size : t.sizes) sum += size;
  return sum;
}

}  // namespace

bool video_codec_of(const TrackTables& track, VideoCodec& codec) {
  if (track.handler != "vide") return false;
  const std::string_view entry = track.entry_type;
  if ((entry == "avc1" || entry == "avc3") && !track.avcc.empty()) {
    codec = VideoCodec::Avc;
    return true;
  }
  // Dolby Vision's HEVC entries carry the base layer's hvcC beside their own box.
  if ((entry == "hvc1" || entry == "hev1" || entry == "dvh1" || entry == "dvhe") &&
      !track.hvcc.empty()) {
    codec = VideoCodec::Hevc;
    return true;
  }
  return false;
}

const std::vector<std::uint8_t>& video_config_of(const TrackTables& track, VideoCodec codec) {
  return codec == VideoCodec::Hevc ? track.hvcc : track.avcc;
}

std::uint32_t nal_length_size_of(const TrackTables& track, VideoCodec codec) {
  if (codec == VideoCodec::Hevc) {
    HevcConfig config;
    return parse_hevc_config(track.hvcc, config) ? config.nal_length_size : 0;
  }
  // ISO/IEC 14496-15, 5.3.3.1.2: lengthSizeMinusOne in the low two bits of byte 4;
  // three-byte lengths are no valid AVC configuration.
  if (track.avcc.size() < 7 || (track.avcc[4] & 3u) == 2) return 0;
  return (track.avcc[4] & 3u) + 1;
}

bool audio_format(const TrackTables& track, AudioModel& audio, SkippedAudio& why) {
  audio = AudioModel{};
  audio.track = track.id;
  why = {track.id, track.entry_type, AudioSkip::None, 0, 0};
  if (track.entry_type == "mp4a") return aac_format(track, audio, why);
  for (const PcmEntry& e : kPcmEntries) {
    if (e.type != track.entry_type) continue;
    if (pcm_format(track, e, audio)) return true;
    why.why = AudioSkip::PcmFormat;
    return false;
  }
  why.why = AudioSkip::UnknownEntry;
  return false;
}

bool choose_roles(const std::vector<TrackTables>& tracks, Roles& roles, LearnError& error) {
  roles = Roles{};
  if (tracks.size() > kMaxModelTracks) {
    error = {LearnStatus::TooManyTracks, 0, 0};
    return false;
  }
  roles.of.assign(tracks.size(), TrackRole::Other);
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const TrackTables& t = tracks[i];
    for (std::size_t k = 0; k < i; ++k) {
      if (tracks[k].id == t.id) {
        error = {LearnStatus::RepeatedTrackId, t.id, 0};
        return false;
      }
    }
  }
  std::uint32_t oversized = kNoTrack;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const TrackTables& t = tracks[i];
    const auto index = static_cast<std::uint32_t>(i);
    VideoCodec codec = VideoCodec::Avc;
    if (roles.video == kNoTrack && video_codec_of(t, codec)) {
      if (video_config_of(t, codec).size() > kMaxVideoConfigBytes) {
        if (oversized == kNoTrack) oversized = index;
        continue;
      }
      if (nal_length_size_of(t, codec) == 0) continue;
      roles.video = index;
      roles.video_codec = codec;
      roles.of[i] = TrackRole::Video;
    } else if (t.handler == "soun") {
      AudioModel audio;
      SkippedAudio why;
      if (audio_format(t, audio, why)) {
        roles.of[i] = audio.role;
        roles.audio.push_back(std::move(audio));
        roles.audio_index.push_back(index);
      } else {
        roles.skipped.push_back(why);
      }
    }
  }
  if (roles.video != kNoTrack) return true;
  if (oversized != kNoTrack) {
    const TrackTables& t = tracks[oversized];
    VideoCodec codec = VideoCodec::Avc;
    (void)video_codec_of(t, codec);
    error = {LearnStatus::VideoConfigTooLarge, t.id, video_config_of(t, codec).size(), codec};
  } else {
    error = {LearnStatus::NoVideo, 0, 0};
  }
  return false;
}

bool list_visits(const std::vector<TrackTables>& tracks, const Roles& roles, std::int64_t file_size,
                 std::vector<Visit>& visits, LearnError& error) {
  visits.clear();
  std::uint64_t claimed = 0;
  for (const TrackTables& t : tracks) {
    claimed += claimed_bytes(t);
    if (claimed > static_cast<std::uint64_t>(file_size)) {
      error = {LearnStatus::SamplesOverlap, t.id, 0};
      return false;
    }
  }
  std::vector<SampleRef> samples;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const auto track = static_cast<std::uint32_t>(i);
    LearnStatus status = LearnStatus::Ok;
    switch (list_samples(tracks[i], file_size, roles.of[i] == TrackRole::Pcm, samples)) {
      case SampleListStatus::Ok:
        break;
      case SampleListStatus::TablesDisagree:
        status = LearnStatus::TablesDisagree;
        break;
      case SampleListStatus::OutsideFile:
        status = LearnStatus::OutsideFile;
        break;
      case SampleListStatus::TooMany:
        status = LearnStatus::TooManySamples;
        break;
    }
    if (status == LearnStatus::Ok && samples.size() > kMaxVisits - visits.size()) {
      status = LearnStatus::TooManySamples;
    }
    if (status != LearnStatus::Ok) {
      error = {status, tracks[i].id, 0};
      return false;
    }
    for (const SampleRef& s : samples) visits.push_back({s.offset, s.size, track});
  }
  std::stable_sort(visits.begin(), visits.end(),
                   [](const Visit& a, const Visit& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < visits.size(); ++i) {
    if (visits[i].offset < visits[i - 1].offset + visits[i - 1].size) {
      error = {LearnStatus::SamplesOverlap, tracks[visits[i].track].id, 0};
      return false;
    }
  }
  return true;
}

Link infer_link(const std::vector<SampleHead>& samples) {
  Link link;
  const auto of = static_cast<std::uint64_t>(std::count_if(
      samples.begin(), samples.end(), [](const SampleHead& s) { return s.next_size >= 0; }));
  if (of < 2) return link;
  std::uint64_t best = 0;
  SizeField best_field;
  for (const SizeField& f : field_candidates()) {
    std::uint64_t held = 0;
    for (const SampleHead& s : samples) {
      if (s.next_size >= 0 && holds_field(s, f, s.next_size)) ++held;
    }
    if (held > best) {
      best = held;
      best_field = f;
    }
  }
  if (best * 100 < of * kLinkPercent) return link;
  return {best_field, best, of};
}

std::vector<PrefixClass> infer_classes(const std::vector<SampleHead>& samples) {
  std::map<std::array<std::uint8_t, 4>, std::vector<const SampleHead*>> groups;
  for (const SampleHead& s : samples) {
    if (s.length < 4) continue;
    std::array<std::uint8_t, 4> prefix{};
    std::copy_n(s.bytes.begin(), 4, prefix.begin());
    groups[prefix].push_back(&s);
  }
  std::vector<PrefixClass> classes;
  // A track whose first bytes vary this much has no classes: nothing recognises it.
  if (groups.size() > kMaxClassesPerTrack) return classes;
  for (const auto& [prefix, members] : groups) classes.push_back(make_class(prefix, members));
  return classes;
}

namespace {

// Where a chunk lies in the file, and the decoding time of its first sample.
struct ChunkStart {
  std::uint64_t offset = 0;
  std::uint64_t time = 0;  // in the track's timescale
};

// The chunks of a track in table order, each with the decoding time of its first
// sample; empty where the tables disagree.
std::vector<ChunkStart> chunk_starts(const TrackTables& t) {
  std::vector<ChunkStart> chunks;
  const auto chunk_count = static_cast<std::uint32_t>(t.chunk_offsets.size());
  std::uint64_t sample = 0;  // the first sample of the chunk
  std::uint64_t time = 0;    // its decoding time
  std::size_t run = 0;       // the duration run that holds `sample`
  std::uint64_t run_start = 0;
  for (std::size_t c = 0; c < t.chunk_runs.size(); ++c) {
    const ChunkRun& here = t.chunk_runs[c];
    const std::uint32_t end =
        c + 1 < t.chunk_runs.size() ? t.chunk_runs[c + 1].first_chunk - 1 : chunk_count;
    if (end > chunk_count || here.first_chunk == 0) return {};
    for (std::uint32_t chunk = here.first_chunk; chunk <= end; ++chunk) {
      if (sample >= t.sample_count) return chunks;
      chunks.push_back({t.chunk_offsets[chunk - 1], time});
      // The next chunk's first sample and its time, a run of durations at a time.
      std::uint64_t left = here.samples_per_chunk;
      while (left > 0 && run < t.durations.size()) {
        const DurationRun& d = t.durations[run];
        const std::uint64_t in_run = std::min(left, run_start + d.count - sample);
        time += in_run * d.delta;
        sample += in_run;
        left -= in_run;
        if (sample == run_start + d.count) {
          run_start += d.count;
          ++run;
        }
      }
      sample += left;  // beyond the durations: no time to count
    }
  }
  return chunks;
}

}  // namespace

bool interleave_lead(const TrackTables& track, const TrackTables& video, std::int64_t& lead) {
  std::vector<ChunkStart> pictures = chunk_starts(video);
  std::sort(pictures.begin(), pictures.end(),
            [](const ChunkStart& a, const ChunkStart& b) { return a.offset < b.offset; });
  std::vector<std::int64_t> leads;
  for (const ChunkStart& c : chunk_starts(track)) {
    const auto next = std::upper_bound(
        pictures.begin(), pictures.end(), c.offset,
        [](std::uint64_t offset, const ChunkStart& p) { return offset < p.offset; });
    if (next == pictures.end()) continue;
    const double video_time = static_cast<double>(next->time) * track.timescale / video.timescale;
    const double ticks = static_cast<double>(c.time) - video_time;
    if (std::abs(ticks) > static_cast<double>(kMaxLeadTicks)) continue;
    leads.push_back(static_cast<std::int64_t>(std::llround(ticks)));
  }
  if (leads.empty()) return false;
  std::nth_element(leads.begin(), leads.begin() + static_cast<std::ptrdiff_t>(leads.size() / 2),
                   leads.end());
  lead = leads[leads.size() / 2];
  return true;
}

namespace {

// Each other track's lead against the video, where the tables show one.
void add_interleave_leads(const std::vector<TrackTables>& tracks, const TrackTables& video,
                          MovieTemplate& movie) {
  if (video.timescale == 0) return;
  for (TrackTemplate& tt : movie.tracks) {
    if (tt.id == video.id) continue;
    for (const TrackTables& t : tracks) {
      if (t.id == tt.id && t.timescale != 0 && t.timescale == tt.timescale) {
        tt.has_lead = interleave_lead(t, video, tt.lead);
      }
    }
  }
}

}  // namespace

bool learn_model(InputWindow& input, const std::vector<TrackTables>& tracks, StreamModel& model,
                 LearnError& error, std::vector<SkippedAudio>* skipped) {
  model = StreamModel{};
  Roles roles;
  if (!choose_roles(tracks, roles, error)) return false;
  if (skipped != nullptr) *skipped = roles.skipped;
  const TrackTables& video = tracks[roles.video];
  model.video.codec = roles.video_codec;
  model.video.avcc = video_config_of(video, roles.video_codec);
  model.video.nal_length_size = nal_length_size_of(video, roles.video_codec);
  Learner learner(input, tracks, roles, model);
  if (!learner.run(error)) return false;
  if (!movie_template_of(input, tracks, model.movie)) {
    error = {LearnStatus::ReadFailed, 0, 0};
    return false;
  }
  add_interleave_leads(tracks, video, model.movie);
  return true;
}

bool movie_template_of(InputWindow& input, const std::vector<TrackTables>& tracks,
                       MovieTemplate& movie) {
  BoxTreeError error;
  // The tables were read from the same movie box: a capture that fails now, but
  // for a read, means a box to copy is larger than a template holds, and the
  // timing alone is kept.
  if (read_movie_template(input, movie, error) && movie.tracks.size() == tracks.size()) {
    return true;
  }
  if (error.status == BoxTreeStatus::ReadFailed) return false;
  movie = movie_template_of(tracks);
  return true;
}

MovieTemplate movie_template_of(const std::vector<TrackTables>& tracks) {
  MovieTemplate movie;
  for (const TrackTables& t : tracks) {
    TrackTemplate track;
    track.id = t.id;
    track.handler = t.handler;
    track.handler_name = t.handler_name;
    track.timescale = t.timescale;
    // The typical delta: the one most samples have.
    std::map<std::uint32_t, std::uint64_t> deltas;
    for (const DurationRun& run : t.durations) deltas[run.delta] += run.count;
    std::uint64_t most = 0;
    for (const auto& [delta, count] : deltas) {
      if (count > most) {
        most = count;
        track.sample_delta = delta;
      }
    }
    track.constant_delta = deltas.size() == 1;
    movie.tracks.push_back(std::move(track));
  }
  return movie;
}

}  // namespace vidsalvage
