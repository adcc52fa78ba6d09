#include "model/model_learning.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <map>
#include <string_view>

#include "codec/esds.h"

namespace vidsalvage {
namespace {

// Bounds what a hostile table can make us list: a day of 60 fps video with its
// audio and one small sample of another track per frame stays below it.
constexpr std::size_t kMaxVisits = std::size_t{1} << 24;
constexpr std::uint64_t kLinkPercent = 99;  // a link must hold for this share of samples
constexpr std::int64_t kMaxAdjust = 1024;   // a size field counts its sample give or take this
constexpr std::size_t kMaxSecondBytes = 8;  // more kinds of first unit than this: any second byte
constexpr std::uint32_t kNoTrack = UINT32_MAX;

bool is_slice(std::uint32_t type) { return type >= 1 && type <= 5; }

struct PcmEntry {
  std::string_view type;
  bool little_endian;
};
// Integer PCM sample entries whose bytes a WAV file holds as they are, or byte-swapped.
constexpr std::array<PcmEntry, 5> kPcmEntries = {
    {{"sowt", true}, {"twos", false}, {"in24", false}, {"in32", false}, {"raw ", true}}};

const PcmEntry* pcm_entry(std::string_view type) {
  for (const PcmEntry& e : kPcmEntries) {
    if (e.type == type) return &e;
  }
  return nullptr;
}

struct Visit {
  std::int64_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t track = 0;  // index into the track list
};

// What is kept of a sample of another track until the pass has seen them all.
struct OtherSample {
  std::uint32_t visit = 0;
  std::uint32_t length = 0;  // bytes of prefix held: the sample's first kClassBytes
  std::array<std::uint8_t, kClassBytes> prefix{};
  std::int32_t klv_items = -1;  // top-level KLV items that fill the sample; -1: none
};

std::uint64_t field_value(const OtherSample& s, const SizeField& f) {
  std::uint64_t v = 0;
  for (std::uint32_t i = 0; i < f.width; ++i) {
    const std::uint8_t b = s.prefix[f.offset + (f.little_endian ? f.width - 1 - i : i)];
    v = (v << 8) | b;
  }
  return v;
}

bool holds_field(const OtherSample& s, const SizeField& f, std::uint64_t size) {
  if (f.offset + f.width > s.length) return false;
  return static_cast<std::int64_t>(field_value(s, f)) + f.adjust == static_cast<std::int64_t>(size);
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

struct FirstSeen {
  std::uint32_t length = 0;
  std::uint64_t count = 0;
  bool varies = false;
  // A length seen once may be chance; a unit that kept its length is recognised by it.
  std::uint32_t fixed_length() const { return varies || count < 2 ? 0 : length; }
};

class Learner {
 public:
  Learner(InputWindow& input, const std::vector<TrackTables>& tracks, StreamModel& model)
      : input_(input), tables_(tracks), model_(model) {}

  bool run(LearnError& error) {
    if (tables_.size() > kMaxModelTracks) return fail(error, LearnStatus::TooManyTracks, 0);
    choose_roles();
    if (video_ == kNoTrack) return fail(error, LearnStatus::NoVideo, 0);
    if (!list_visits(error)) return false;
    if (!visit_all(error)) return false;
    finish_tracks();
    finish_video();
    finish_audio();
    return true;
  }

 private:
  static bool fail(LearnError& error, LearnStatus status, std::uint32_t track) {
    error.status = status;
    error.track = track;
    return false;
  }

  void choose_roles() {
    roles_.assign(tables_.size(), TrackRole::Other);
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const TrackTables& t = tables_[i];
      if (video_ == kNoTrack && t.handler == "vide" &&
          (t.entry_type == "avc1" || t.entry_type == "avc3") && t.avcc.size() >= 7) {
        const std::uint32_t length_size = (t.avcc[4] & 3u) + 1;
        if (length_size == 3) continue;  // not a valid AVC configuration
        video_ = static_cast<std::uint32_t>(i);
        roles_[i] = TrackRole::Video;
        model_.video.avcc = t.avcc;
        model_.video.nal_length_size = length_size;
      } else if (audio_ == kNoTrack && t.handler == "soun") {
        choose_audio(static_cast<std::uint32_t>(i));
      }
    }
  }

  void choose_audio(std::uint32_t index) {
    const TrackTables& t = tables_[index];
    AudioModel& a = model_.audio;
    EsdsInfo esds;
    // The esds body begins with its version and flags.
    if (t.entry_type == "mp4a" && t.esds.size() > 4 &&
        parse_esds(std::span(t.esds).subspan(4), esds) == kDescriptorOk &&
        esds.object_type_indication == kObjectTypeMpeg4Audio && esds.dsi_length >= 2) {
      const auto config = std::span(t.esds).subspan(4 + esds.dsi_offset, esds.dsi_length);
      a.config.assign(config.begin(), config.end());
      roles_[index] = TrackRole::Aac;
      a.role = TrackRole::Aac;
    } else if (const PcmEntry* pcm = pcm_entry(t.entry_type);
               pcm != nullptr && t.channels > 0 && t.sample_bits > 0) {
      roles_[index] = TrackRole::Pcm;
      a.role = TrackRole::Pcm;
      a.channels = t.channels;
      a.bits = t.sample_bits;
      a.rate = t.sample_rate != 0 ? t.sample_rate : t.timescale;
      a.little_endian = pcm->little_endian;
    } else {
      a.config.clear();
      return;
    }
    audio_ = index;
  }

  bool list_visits(LearnError& error) {
    std::vector<SampleRef> samples;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const auto track = static_cast<std::uint32_t>(i);
      switch (list_samples(tables_[i], input_.size, roles_[i] == TrackRole::Pcm, samples)) {
        case SampleListStatus::Ok:
          break;
        case SampleListStatus::TablesDisagree:
          return fail(error, LearnStatus::TablesDisagree, tables_[i].id);
        case SampleListStatus::OutsideFile:
          return fail(error, LearnStatus::OutsideFile, tables_[i].id);
        case SampleListStatus::TooMany:
          return fail(error, LearnStatus::TooManySamples, tables_[i].id);
      }
      if (samples.size() > kMaxVisits - visits_.size()) {
        return fail(error, LearnStatus::TooManySamples, tables_[i].id);
      }
      for (const SampleRef& s : samples) visits_.push_back({s.offset, s.size, track});
    }
    std::stable_sort(visits_.begin(), visits_.end(),
                     [](const Visit& a, const Visit& b) { return a.offset < b.offset; });
    return true;
  }

  bool visit_all(LearnError& error) {
    stats_.assign(tables_.size(), {});
    other_of_visit_.assign(visits_.size(), kNoTrack);
    for (std::size_t i = 0; i < visits_.size(); ++i) {
      const Visit& v = visits_[i];
      count_sample(v);
      bool ok = true;
      switch (roles_[v.track]) {
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
          ok = visit_other(v, static_cast<std::uint32_t>(i));
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
    if (s.last_end == v.offset) ++model_.audio.back_to_back;
    s.last_end = v.offset + v.size;
    ++model_.audio.samples;
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
      std::uint32_t length = 0;
      for (std::uint32_t k = 0; k < length_size; ++k) length = (length << 8) | head[k];
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
    const std::uint32_t type = header & 0x1Fu;
    m.headers.set(header);
    if (second >= 0) heads_.set(std::size_t{header} << 8 | static_cast<std::size_t>(second));
    if (previous_type_ >= 0) m.bigrams.set(static_cast<std::size_t>(previous_type_) * 32 + type);
    previous_type_ = static_cast<int>(type);
    m.max_unit = std::max(m.max_unit, length);
    if (!first) return;
    FirstSeen& seen = first_units_[{header, second}];
    if (seen.count++ == 0) seen.length = length;
    if (seen.length != length) seen.varies = true;
  }

  bool visit_aac(const Visit& v) {
    count_audio(v);
    ++aac_sizes_[v.size];
    if (v.size < 2) return true;
    const std::span<const std::uint8_t> head =
        read_input(input_, v.offset, std::min<std::int64_t>(3, v.size));
    if (head.empty()) return false;
    ++aac_starts2_[static_cast<std::uint16_t>(head[0] << 8 | head[1])];
    if (head.size() == 3) {
      ++aac_starts3_[std::uint32_t{head[0]} << 16 | std::uint32_t{head[1]} << 8 | head[2]];
    }
    return true;
  }

  bool visit_other(const Visit& v, std::uint32_t index) {
    OtherSample s;
    s.visit = index;
    s.length = std::min<std::uint32_t>(v.size, kClassBytes);
    if (s.length > 0) {
      const std::span<const std::uint8_t> head = read_input(input_, v.offset, s.length);
      if (head.empty()) return false;
      std::copy(head.begin(), head.end(), s.prefix.begin());
    }
    if (!count_klv_items(v, s.klv_items)) return false;
    other_of_visit_[index] = static_cast<std::uint32_t>(others_.size());
    others_.push_back(s);
    return true;
  }

  // Counts the KLV items (four-character key, type, structure size, repeat count,
  // payload padded to four bytes) that fill the sample exactly; -1 when they do not.
  bool count_klv_items(const Visit& v, std::int32_t& items) {
    items = -1;
    std::int32_t count = 0;
    for (std::int64_t p = 0; p < v.size; ++count) {
      if (v.size - p < 8 || count == static_cast<std::int32_t>(kMaxKlvItems)) return true;
      const std::span<const std::uint8_t> item = read_input(input_, v.offset + p, 8);
      if (item.empty()) return false;
      for (int k = 0; k < 4; ++k) {
        if (item[k] < 0x20 || item[k] > 0x7E) return true;
      }
      const std::int64_t payload = std::int64_t{item[5]} * ((item[6] << 8) | item[7]);
      p += 8 + ((payload + 3) & ~std::int64_t{3});
      if (p > v.size) return true;
    }
    items = count;
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
      track.role = roles_[i];
      track.timescale = t.timescale;
      track.durations = t.durations;
      track.samples = stats_[i].samples;
      track.min_size = stats_[i].min_size;
      track.max_size = stats_[i].max_size;
      if (track.role == TrackRole::Other) {
        learn_link(static_cast<std::uint32_t>(i), track);
        learn_classes(static_cast<std::uint32_t>(i), track);
      }
      model_.tracks.push_back(std::move(track));
    }
  }

  std::vector<const OtherSample*> samples_of(std::uint32_t track) const {
    std::vector<const OtherSample*> found;
    for (const OtherSample& s : others_) {
      if (visits_[s.visit].track == track) found.push_back(&s);
    }
    return found;
  }

  // A field that holds the size of the next sample in the file, whatever its track.
  void learn_link(std::uint32_t track, ModelTrack& out) {
    const std::vector<const OtherSample*> samples = samples_of(track);
    std::uint64_t of = 0;
    for (const OtherSample* s : samples) of += s->visit + 1 < visits_.size() ? 1 : 0;
    if (of < 2) return;
    std::uint64_t best = 0;
    for (const SizeField& f : field_candidates()) {
      std::uint64_t held = 0;
      for (const OtherSample* s : samples) {
        if (s->visit + 1 < visits_.size() && holds_field(*s, f, visits_[s->visit + 1].size)) {
          ++held;
        }
      }
      if (held > best) {
        best = held;
        out.link = f;
      }
    }
    if (best * 100 < of * kLinkPercent) {
      out.link = {};
      return;
    }
    out.link_held = best;
    out.link_of = of;
  }

  void learn_classes(std::uint32_t track, ModelTrack& out) {
    std::map<std::array<std::uint8_t, 4>, std::vector<const OtherSample*>> classes;
    for (const OtherSample* s : samples_of(track)) {
      if (s->length < 4) continue;
      std::array<std::uint8_t, 4> prefix{};
      std::copy_n(s->prefix.begin(), 4, prefix.begin());
      classes[prefix].push_back(s);
    }
    // A track whose first bytes vary this much has no classes: nothing recognises it.
    if (classes.size() > kMaxClassesPerTrack) return;
    for (const auto& [prefix, members] : classes)
      out.classes.push_back(make_class(prefix, members));
  }

  PrefixClass make_class(const std::array<std::uint8_t, 4>& prefix,
                         const std::vector<const OtherSample*>& members) const {
    PrefixClass c;
    c.prefix = prefix;
    c.samples = members.size();
    c.min_size = visits_[members[0]->visit].size;
    std::map<std::uint32_t, std::uint64_t> next_counts;
    for (const OtherSample* s : members) {
      const std::uint32_t size = visits_[s->visit].size;
      c.min_size = std::min(c.min_size, size);
      c.max_size = std::max(c.max_size, size);
      if (s->visit + 1 < visits_.size()) ++next_counts[tables_[visits_[s->visit + 1].track].id];
    }
    const std::size_t length = std::min<std::size_t>(c.min_size, kClassBytes);
    c.bytes.assign(members[0]->prefix.begin(), members[0]->prefix.begin() + length);
    c.fixed.assign(length, 1);
    for (const OtherSample* s : members) {
      for (std::size_t k = 0; k < length; ++k) {
        if (s->prefix[k] != c.bytes[k]) c.fixed[k] = 0;
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
    if (c.min_size != c.max_size) learn_size_rule(members, length, c);
    return c;
  }

  void learn_size_rule(const std::vector<const OtherSample*>& members, std::size_t length,
                       PrefixClass& c) const {
    for (SizeField f : field_candidates()) {
      if (f.offset + f.width > length) continue;
      const std::int64_t adjust = static_cast<std::int64_t>(visits_[members[0]->visit].size) -
                                  static_cast<std::int64_t>(field_value(*members[0], f));
      if (adjust < -kMaxAdjust || adjust > kMaxAdjust) continue;
      f.adjust = static_cast<std::int32_t>(adjust);
      const bool all = std::all_of(members.begin(), members.end(), [&](const OtherSample* s) {
        return holds_field(*s, f, visits_[s->visit].size);
      });
      if (all) {
        c.size_rule = SizeRule::Field;
        c.size_field = f;
        return;
      }
    }
    const std::int32_t items = members[0]->klv_items;
    const bool chain =
        items > 0 && std::all_of(members.begin(), members.end(),
                                 [&](const OtherSample* s) { return s->klv_items == items; });
    if (chain) {
      c.size_rule = SizeRule::Klv;
      c.klv_items = static_cast<std::uint32_t>(items);
    }
  }

  void finish_video() {
    VideoModel& m = model_.video;
    m.track = tables_[video_].id;
    for (std::size_t h = 0; h < heads_.size(); ++h) {
      if (heads_[h]) m.heads.push_back(static_cast<std::uint16_t>(h));
    }
    std::map<std::uint8_t, std::vector<std::pair<int, FirstSeen>>> by_header;
    for (const auto& [key, seen] : first_units_)
      by_header[key.first].emplace_back(key.second, seen);
    for (const auto& [header, seconds] : by_header) {
      const bool any =
          is_slice(header & 0x1Fu) || seconds.size() > kMaxSecondBytes || seconds.front().first < 0;
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
    AudioModel& a = model_.audio;
    if (audio_ == kNoTrack) return;
    a.track = tables_[audio_].id;
    a.sizes.assign(aac_sizes_.begin(), aac_sizes_.end());
    a.starts2.assign(aac_starts2_.begin(), aac_starts2_.end());
    a.starts3.assign(aac_starts3_.begin(), aac_starts3_.end());
    // A sample is announced when the sample in front of it holds its size.
    for (std::size_t i = 1; i < visits_.size(); ++i) {
      if (visits_[i].track != audio_) continue;
      const std::uint32_t other = other_of_visit_[i - 1];
      if (other == kNoTrack) continue;
      const ModelTrack& before = model_.tracks[visits_[i - 1].track];
      if (before.link.width != 0 && holds_field(others_[other], before.link, visits_[i].size)) {
        ++a.announced;
      }
    }
  }

  InputWindow& input_;
  const std::vector<TrackTables>& tables_;
  StreamModel& model_;
  std::vector<TrackRole> roles_;
  std::uint32_t video_ = kNoTrack;
  std::uint32_t audio_ = kNoTrack;
  std::vector<Visit> visits_;
  std::vector<Stats> stats_;
  std::vector<OtherSample> others_;
  std::vector<std::uint32_t> other_of_visit_;
  int previous_type_ = -1;
  std::bitset<65536> heads_;
  std::map<std::pair<std::uint8_t, int>, FirstSeen> first_units_;
  std::map<std::uint32_t, std::uint64_t> aac_sizes_;
  std::map<std::uint16_t, std::uint64_t> aac_starts2_;
  std::map<std::uint32_t, std::uint64_t> aac_starts3_;
};

}  // namespace

bool learn_model(InputWindow& input, const std::vector<TrackTables>& tracks, StreamModel& model,
                 LearnError& error) {
  model = StreamModel{};
  Learner learner(input, tracks, model);
  return learner.run(error);
}

}  // namespace vidsalvage
