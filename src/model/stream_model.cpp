#include "model/stream_model.h"

#include <algorithm>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "io/reference_file.h"

namespace vidsalvage {
namespace {

constexpr std::string_view kMagic = "vidsalvage-model";
constexpr std::size_t kTokensPerLine = 16;
// A model of a day-long recording stays far below this; anything larger is not one.
constexpr std::int64_t kMaxModelBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxAvccBytes = 65535;
constexpr std::size_t kMaxAudioConfigBytes = 64;

// ---- Writing

constexpr char kHexDigits[] = "0123456789abcdef";

void put_hex_byte(std::string& out, std::uint8_t b) {
  out += kHexDigits[b >> 4];
  out += kHexDigits[b & 15];
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) put_hex_byte(out, b);
  return out;
}

std::string hex_value(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i)
    put_hex_byte(out, static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

// A four-character code as one word: characters that would break the line into
// other words, or that are not printable, are written as %XX.
std::string code(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<std::uint8_t>(c);
    if (u > 0x20 && u < 0x7F && c != '%') {
      out += c;
    } else {
      out += '%';
      put_hex_byte(out, u);
    }
  }
  return out;
}

void put_word(std::string& out, std::string_view word) { out += word; }
template <std::integral T>
void put_word(std::string& out, T number) {
  out += std::to_string(number);
}

// One record: its words separated by single spaces, then the line end.
template <typename First, typename... Rest>
void put_record(std::string& out, const First& first, const Rest&... rest) {
  put_word(out, first);
  ((out += ' ', put_word(out, rest)), ...);
  out += '\n';
}

// Long lists go out a few words a line; the reader appends repeated records.
void put_list(std::string& out, const std::string& record, const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); i += kTokensPerLine) {
    out += record;
    for (std::size_t k = i; k < std::min(words.size(), i + kTokensPerLine); ++k) {
      out += ' ';
      out += words[k];
    }
    out += '\n';
  }
}

const char* role_name(TrackRole role) {
  switch (role) {
    case TrackRole::Video:
      return "video";
    case TrackRole::Aac:
      return "aac";
    case TrackRole::Pcm:
      return "pcm";
    case TrackRole::Other:
      return "other";
  }
  return "other";
}

const char* order_name(const SizeField& field) { return field.little_endian ? "le" : "be"; }

void put_class(std::string& out, std::uint32_t track, const PrefixClass& c) {
  std::string bytes;
  for (std::size_t i = 0; i < c.bytes.size(); ++i) {
    if (c.fixed[i] != 0) {
      put_hex_byte(bytes, c.bytes[i]);
    } else {
      bytes += "..";
    }
  }
  const std::string prefix = hex(c.prefix);
  put_record(out, "class", track, prefix, "samples", c.samples, "sizes", c.min_size, c.max_size,
             "next", c.next_track, "bytes", bytes);
  const SizeField& f = c.size_field;
  if (c.size_rule == SizeRule::Field) {
    put_record(out, "class-size", track, prefix, "field", f.offset, f.width, order_name(f),
               f.adjust);
  } else if (c.size_rule == SizeRule::Klv) {
    put_record(out, "class-size", track, prefix, "klv", c.klv_items);
  }
}

void put_track(std::string& out, const ModelTrack& t) {
  put_record(out, "track", t.id, code(t.handler), code(t.entry_type), role_name(t.role),
             "timescale", t.timescale, "samples", t.samples, "sizes", t.min_size, t.max_size);
  if (!t.name.empty()) put_record(out, "track-name", t.id, t.name);
  std::vector<std::string> runs;
  for (const DurationRun& run : t.durations) {
    runs.push_back(std::to_string(run.count) + 'x' + std::to_string(run.delta));
  }
  put_list(out, "durations " + std::to_string(t.id), runs);
  const SizeField& l = t.link;
  if (l.width != 0) {
    put_record(out, "link", t.id, l.offset, l.width, order_name(l), l.adjust, "held", t.link_held,
               "of", t.link_of);
  }
  for (const PrefixClass& c : t.classes) put_class(out, t.id, c);
}

void put_video(std::string& out, const VideoModel& v) {
  put_record(out, "video", v.track, "nal-length", v.nal_length_size, "max-unit", v.max_unit,
             "max-sample", v.max_sample, "max-gap", v.max_gap);
  put_record(out, "avcc", hex(v.avcc));
  std::vector<std::string> words;
  for (std::size_t h = 0; h < v.headers.size(); ++h) {
    if (v.headers[h]) words.push_back(hex_value(h, 1));
  }
  put_list(out, "nal-headers", words);
  words.clear();
  for (std::uint16_t head : v.heads) words.push_back(hex_value(head, 2));
  put_list(out, "heads", words);
  words.clear();
  for (std::size_t i = 0; i < v.bigrams.size(); ++i) {
    if (v.bigrams[i]) words.push_back(std::to_string(i / 32) + '-' + std::to_string(i % 32));
  }
  put_list(out, "bigrams", words);
  words.clear();
  for (const FirstUnit& f : v.first_units) {
    const std::string second =
        f.second < 0 ? ".." : hex_value(static_cast<std::uint64_t>(f.second), 1);
    words.push_back(hex_value(f.header, 1) + ':' + second + ':' + std::to_string(f.length));
  }
  put_list(out, "first-units", words);
}

template <typename Key>
void put_counts(std::string& out, const std::string& record, const Counts<Key>& counts,
                int hex_bytes) {
  std::vector<std::string> words;
  for (const auto& [key, count] : counts) {
    const std::string k = hex_bytes > 0 ? hex_value(key, hex_bytes) : std::to_string(key);
    words.push_back(k + ':' + std::to_string(count));
  }
  put_list(out, record, words);
}

void put_audio(std::string& out, const AudioModel& a) {
  if (a.track == 0) return;
  if (a.role == TrackRole::Pcm) {
    put_record(out, "pcm", a.track, "channels", a.channels, "bits", a.bits, "rate", a.rate,
               a.little_endian ? "le" : "be", "samples", a.samples, "back-to-back", a.back_to_back,
               "announced", a.announced);
    return;
  }
  put_record(out, "aac", a.track, "config", hex(a.config), "samples", a.samples, "back-to-back",
             a.back_to_back, "announced", a.announced);
  put_counts(out, "aac-sizes", a.sizes, 0);
  put_counts(out, "aac-starts", a.starts2, 2);
  put_counts(out, "aac-starts3", a.starts3, 3);
}

// ---- Reading

// The tokens of one line, separated by single spaces.
class Tokens {
 public:
  explicit Tokens(std::string_view line) : line_(line) {}
  bool next(std::string_view& token) {
    if (pos_ >= line_.size()) return false;
    const std::size_t end = std::min(line_.find(' ', pos_), line_.size());
    token = line_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return !token.empty();
  }
  // Everything after the tokens read so far.
  std::string_view rest() const { return pos_ >= line_.size() ? "" : line_.substr(pos_); }
  bool at_end() const { return pos_ >= line_.size(); }

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
};

template <typename T>
bool parse_number(std::string_view token, T& out) {
  if (token.empty()) return false;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), out);
  return ec == std::errc() && end == token.data() + token.size();
}

template <typename T>
bool next_number(Tokens& t, T& out) {
  std::string_view token;
  return t.next(token) && parse_number(token, out);
}

bool expect(Tokens& t, std::string_view word) {
  std::string_view token;
  return t.next(token) && token == word;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hex digits, two per byte; ".." stands for a byte that varies when `mask` is given.
bool parse_hex(std::string_view token, std::size_t max_bytes, std::vector<std::uint8_t>& out,
               std::vector<std::uint8_t>* mask = nullptr) {
  if (token.size() % 2 != 0 || token.size() / 2 > max_bytes) return false;
  out.clear();
  if (mask != nullptr) mask->clear();
  for (std::size_t i = 0; i < token.size(); i += 2) {
    if (mask != nullptr && token[i] == '.' && token[i + 1] == '.') {
      out.push_back(0);
      mask->push_back(0);
      continue;
    }
    const int high = hex_value(token[i]);
    const int low = hex_value(token[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    if (mask != nullptr) mask->push_back(1);
  }
  return true;
}

bool parse_hex_value(std::string_view token, std::size_t bytes, std::uint32_t& out) {
  std::vector<std::uint8_t> raw;
  if (token.size() != bytes * 2 || !parse_hex(token, bytes, raw)) return false;
  out = 0;
  for (std::uint8_t b : raw) out = (out << 8) | b;
  return true;
}

bool parse_code(std::string_view token, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '%') {
      out += token[i];
      continue;
    }
    if (token.size() - i < 3) return false;
    const int high = hex_value(token[i + 1]);
    const int low = hex_value(token[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out.size() == 4;
}

bool parse_role(std::string_view token, TrackRole& role) {
  for (TrackRole r : {TrackRole::Video, TrackRole::Aac, TrackRole::Pcm, TrackRole::Other}) {
    if (token == role_name(r)) {
      role = r;
      return true;
    }
  }
  return false;
}

bool parse_field(Tokens& t, SizeField& field) {
  std::string_view order;
  if (!next_number(t, field.offset) || !next_number(t, field.width) || !t.next(order) ||
      !next_number(t, field.adjust)) {
    return false;
  }
  if (order != "be" && order != "le") return false;
  field.little_endian = order == "le";
  return (field.width == 2 || field.width == 4) && field.offset <= kClassBytes - field.width;
}

// Reads a model line by line; every record is checked as it is read, and the
// whole model once the last one is in.
class ModelReader {
 public:
  explicit ModelReader(StreamModel& model) : model_(model) {}

  // nullptr when the line was read; otherwise what is wrong with it.
  const char* read_line(std::string_view line) {
    if (ended_) return "a record after 'end'";
    Tokens t(line);
    std::string_view record;
    if (!t.next(record)) return "an empty line";
    if (record == "reference") return read_reference(t);
    if (record == "track") return read_track(t);
    if (record == "track-name") return read_track_name(t);
    if (record == "durations") return read_durations(t);
    if (record == "link") return read_link(t);
    if (record == "class") return read_class(t);
    if (record == "class-size") return read_class_size(t);
    if (record == "video") return read_video(t);
    if (record == "avcc") return read_avcc(t);
    if (record == "nal-headers") return read_nal_headers(t);
    if (record == "heads") return read_heads(t);
    if (record == "bigrams") return read_bigrams(t);
    if (record == "first-units") return read_first_units(t);
    if (record == "aac") return read_aac(t);
    if (record == "aac-sizes") return read_counts(t, model_.audio.sizes, 0, 1u << 20);
    if (record == "aac-starts") return read_starts2(t);
    if (record == "aac-starts3") return read_counts(t, model_.audio.starts3, 3, 0xFFFFFF);
    if (record == "pcm") return read_pcm(t);
    if (record == "end") {
      ended_ = true;
      return t.at_end() ? nullptr : "words after 'end'";
    }
    return "an unknown record";
  }

  // nullptr when the model is complete and consistent.
  const char* finish() const {
    if (!ended_) return "no 'end' record";
    if (model_.video.track == 0) return "no 'video' record";
    if (model_.video.avcc.empty()) return "no 'avcc' record";
    return nullptr;
  }

 private:
  ModelTrack* track_by_id(std::uint32_t id) {
    for (ModelTrack& t : model_.tracks) {
      if (t.id == id) return &t;
    }
    return nullptr;
  }

  ModelTrack* next_track(Tokens& t) {
    std::uint32_t id = 0;
    return next_number(t, id) ? track_by_id(id) : nullptr;
  }

  const char* read_reference(Tokens& t) {
    if (!next_number(t, model_.reference_size) || model_.reference_size < 0) {
      return "a bad reference size";
    }
    model_.reference.assign(t.rest());
    return nullptr;
  }

  const char* read_track(Tokens& t) {
    if (model_.tracks.size() == kMaxModelTracks) return "too many tracks";
    ModelTrack track;
    std::string_view handler, entry, role;
    if (!next_number(t, track.id) || track.id == 0 || track_by_id(track.id) != nullptr) {
      return "a missing or repeated track number";
    }
    if (!t.next(handler) || !parse_code(handler, track.handler) || !t.next(entry) ||
        !parse_code(entry, track.entry_type) || !t.next(role) || !parse_role(role, track.role)) {
      return "a bad handler, sample entry or role";
    }
    if (!expect(t, "timescale") || !next_number(t, track.timescale) || !expect(t, "samples") ||
        !next_number(t, track.samples) || !expect(t, "sizes") || !next_number(t, track.min_size) ||
        !next_number(t, track.max_size) || !t.at_end() || track.min_size > track.max_size) {
      return "a bad track record";
    }
    model_.tracks.push_back(std::move(track));
    return nullptr;
  }

  const char* read_track_name(Tokens& t) {
    ModelTrack* track = next_track(t);
    if (track == nullptr) return "an unknown track";
    track->name.assign(t.rest());
    return nullptr;
  }

  const char* read_durations(Tokens& t) {
    ModelTrack* track = next_track(t);
    if (track == nullptr) return "an unknown track";
    std::string_view token;
    while (t.next(token)) {
      const std::size_t x = token.find('x');
      DurationRun run;
      if (x == std::string_view::npos || !parse_number(token.substr(0, x), run.count) ||
          !parse_number(token.substr(x + 1), run.delta)) {
        return "a bad duration run";
      }
      track->durations.push_back(run);
    }
    return t.at_end() ? nullptr : "a bad duration run";
  }

  const char* read_link(Tokens& t) {
    ModelTrack* track = next_track(t);
    if (track == nullptr) return "an unknown track";
    if (track->link.width != 0) return "a second link of one track";
    if (!parse_field(t, track->link) || !expect(t, "held") || !next_number(t, track->link_held) ||
        !expect(t, "of") || !next_number(t, track->link_of) || !t.at_end() ||
        track->link_held > track->link_of) {
      track->link = {};
      return "a bad link";
    }
    return nullptr;
  }

  const char* read_class(Tokens& t) {
    ModelTrack* track = next_track(t);
    if (track == nullptr) return "an unknown track";
    if (track->classes.size() == kMaxClassesPerTrack) return "too many classes";
    PrefixClass c;
    std::string_view prefix, bytes;
    std::vector<std::uint8_t> raw;
    if (!t.next(prefix) || !parse_hex(prefix, 4, raw) || raw.size() != 4) return "a bad prefix";
    std::copy(raw.begin(), raw.end(), c.prefix.begin());
    if (find_class(*track, c.prefix) != nullptr) return "a repeated class";
    if (!expect(t, "samples") || !next_number(t, c.samples) || !expect(t, "sizes") ||
        !next_number(t, c.min_size) || !next_number(t, c.max_size) || !expect(t, "next") ||
        !next_number(t, c.next_track) || !expect(t, "bytes") || !t.next(bytes) ||
        !parse_hex(bytes, kClassBytes, c.bytes, &c.fixed) || !t.at_end()) {
      return "a bad class";
    }
    if (c.min_size > c.max_size || c.min_size < 4 || c.bytes.size() > c.min_size) {
      return "class sizes that do not fit its bytes";
    }
    track->classes.push_back(std::move(c));
    return nullptr;
  }

  static PrefixClass* find_class(ModelTrack& track, const std::array<std::uint8_t, 4>& prefix) {
    for (PrefixClass& c : track.classes) {
      if (c.prefix == prefix) return &c;
    }
    return nullptr;
  }

  const char* read_class_size(Tokens& t) {
    ModelTrack* track = next_track(t);
    if (track == nullptr) return "an unknown track";
    std::string_view prefix, kind;
    std::vector<std::uint8_t> raw;
    if (!t.next(prefix) || !parse_hex(prefix, 4, raw) || raw.size() != 4) return "a bad prefix";
    std::array<std::uint8_t, 4> key{};
    std::copy(raw.begin(), raw.end(), key.begin());
    PrefixClass* c = find_class(*track, key);
    if (c == nullptr) return "an unknown class";
    if (c->size_rule != SizeRule::None) return "a second size rule of one class";
    if (!t.next(kind)) return "a bad size rule";
    if (kind == "field" && parse_field(t, c->size_field) && t.at_end()) {
      c->size_rule = SizeRule::Field;
      return nullptr;
    }
    if (kind == "klv" && next_number(t, c->klv_items) && c->klv_items > 0 &&
        c->klv_items <= kMaxKlvItems && t.at_end()) {
      c->size_rule = SizeRule::Klv;
      return nullptr;
    }
    c->size_field = {};
    return "a bad size rule";
  }

  const char* read_video(Tokens& t) {
    VideoModel& v = model_.video;
    if (v.track != 0) return "a second video record";
    const ModelTrack* track = next_track(t);
    if (track == nullptr || track->role != TrackRole::Video) return "an unknown video track";
    if (!expect(t, "nal-length") || !next_number(t, v.nal_length_size) || !expect(t, "max-unit") ||
        !next_number(t, v.max_unit) || !expect(t, "max-sample") || !next_number(t, v.max_sample) ||
        !expect(t, "max-gap") || !next_number(t, v.max_gap) || !t.at_end()) {
      return "a bad video record";
    }
    if (v.nal_length_size < 1 || v.nal_length_size > 4 || v.nal_length_size == 3) {
      return "a NAL length size other than 1, 2 or 4";
    }
    v.track = track->id;
    return nullptr;
  }

  const char* read_avcc(Tokens& t) {
    std::string_view hex;
    if (model_.video.track == 0 || !model_.video.avcc.empty()) return "an avcc record out of place";
    if (!t.next(hex) || !parse_hex(hex, kMaxAvccBytes, model_.video.avcc) || !t.at_end() ||
        model_.video.avcc.empty()) {
      return "a bad avcc record";
    }
    return nullptr;
  }

  const char* read_nal_headers(Tokens& t) {
    if (model_.video.track == 0) return "a video record out of place";
    std::string_view token;
    std::uint32_t header = 0;
    while (t.next(token)) {
      if (!parse_hex_value(token, 1, header)) return "a bad NAL header";
      model_.video.headers.set(header);
    }
    return t.at_end() ? nullptr : "a bad NAL header";
  }

  const char* read_heads(Tokens& t) {
    if (model_.video.track == 0) return "a video record out of place";
    std::string_view token;
    std::uint32_t head = 0;
    auto& heads = model_.video.heads;
    while (t.next(token)) {
      if (!parse_hex_value(token, 2, head)) return "a bad head";
      if (!heads.empty() && heads.back() >= head) return "heads out of order";
      heads.push_back(static_cast<std::uint16_t>(head));
    }
    return t.at_end() ? nullptr : "a bad head";
  }

  const char* read_bigrams(Tokens& t) {
    if (model_.video.track == 0) return "a video record out of place";
    std::string_view token;
    while (t.next(token)) {
      const std::size_t dash = token.find('-');
      std::uint32_t first = 0, second = 0;
      if (dash == std::string_view::npos || !parse_number(token.substr(0, dash), first) ||
          !parse_number(token.substr(dash + 1), second) || first > 31 || second > 31) {
        return "a bad bigram";
      }
      model_.video.bigrams.set(first * 32 + second);
    }
    return t.at_end() ? nullptr : "a bad bigram";
  }

  const char* read_first_units(Tokens& t) {
    if (model_.video.track == 0) return "a video record out of place";
    std::string_view token;
    while (t.next(token)) {
      if (model_.video.first_units.size() == kMaxFirstUnits) return "too many first units";
      FirstUnit f;
      std::uint32_t header = 0, second = 0;
      if (token.size() < 7 || token[2] != ':' || token[5] != ':' ||
          !parse_hex_value(token.substr(0, 2), 1, header) ||
          !parse_number(token.substr(6), f.length)) {
        return "a bad first unit";
      }
      f.header = static_cast<std::uint8_t>(header);
      if (token.substr(3, 2) == "..") {
        f.second = -1;
      } else if (parse_hex_value(token.substr(3, 2), 1, second)) {
        f.second = static_cast<std::int32_t>(second);
      } else {
        return "a bad first unit";
      }
      model_.video.first_units.push_back(f);
    }
    return t.at_end() ? nullptr : "a bad first unit";
  }

  const char* read_audio_counts(Tokens& t) {
    AudioModel& a = model_.audio;
    if (!expect(t, "samples") || !next_number(t, a.samples) || !expect(t, "back-to-back") ||
        !next_number(t, a.back_to_back) || !expect(t, "announced") ||
        !next_number(t, a.announced) || !t.at_end() || a.back_to_back > a.samples ||
        a.announced > a.samples) {
      return "a bad audio record";
    }
    return nullptr;
  }

  const char* audio_track(Tokens& t, TrackRole role) {
    if (model_.audio.track != 0) return "a second audio record";
    const ModelTrack* track = next_track(t);
    if (track == nullptr || track->role != role) return "an unknown audio track";
    model_.audio.track = track->id;
    model_.audio.role = role;
    return nullptr;
  }

  const char* read_aac(Tokens& t) {
    if (const char* reason = audio_track(t, TrackRole::Aac)) return reason;
    std::string_view hex;
    if (!expect(t, "config") || !t.next(hex) ||
        !parse_hex(hex, kMaxAudioConfigBytes, model_.audio.config) ||
        model_.audio.config.size() < 2) {
      return "a bad AudioSpecificConfig";
    }
    return read_audio_counts(t);
  }

  const char* read_pcm(Tokens& t) {
    if (const char* reason = audio_track(t, TrackRole::Pcm)) return reason;
    AudioModel& a = model_.audio;
    std::string_view order;
    if (!expect(t, "channels") || !next_number(t, a.channels) || !expect(t, "bits") ||
        !next_number(t, a.bits) || !expect(t, "rate") || !next_number(t, a.rate) ||
        !t.next(order) || (order != "le" && order != "be")) {
      return "a bad pcm record";
    }
    if (a.channels < 1 || a.channels > 64 ||
        (a.bits != 8 && a.bits != 16 && a.bits != 24 && a.bits != 32)) {
      return "PCM channels or bits out of range";
    }
    a.little_endian = order == "le";
    return read_audio_counts(t);
  }

  template <typename Key>
  const char* read_counts(Tokens& t, Counts<Key>& counts, int hex_bytes, std::uint32_t max_key) {
    if (model_.audio.track == 0 || model_.audio.role != TrackRole::Aac) {
      return "an aac record out of place";
    }
    std::string_view token;
    while (t.next(token)) {
      const std::size_t colon = token.find(':');
      std::uint32_t key = 0;
      std::uint64_t count = 0;
      if (colon == std::string_view::npos) return "a bad count";
      const std::string_view key_text = token.substr(0, colon);
      const bool key_ok = hex_bytes > 0
                              ? parse_hex_value(key_text, static_cast<std::size_t>(hex_bytes), key)
                              : parse_number(key_text, key);
      if (!key_ok || key > max_key || !parse_number(token.substr(colon + 1), count)) {
        return "a bad count";
      }
      if (!counts.empty() && counts.back().first >= key) return "counts out of order";
      counts.emplace_back(static_cast<Key>(key), count);
    }
    return t.at_end() ? nullptr : "a bad count";
  }

  const char* read_starts2(Tokens& t) { return read_counts(t, model_.audio.starts2, 2, 0xFFFF); }

  StreamModel& model_;
  bool ended_ = false;
};

}  // namespace

std::string format_model(const StreamModel& model) {
  std::string out;
  put_record(out, kMagic, kModelVersion);
  put_record(out, "reference", model.reference_size, model.reference);
  for (const ModelTrack& t : model.tracks) put_track(out, t);
  if (model.video.track != 0) put_video(out, model.video);
  put_audio(out, model.audio);
  out += "end\n";
  return out;
}

bool parse_model(std::span<const std::uint8_t> text, StreamModel& model, ModelParseError& error) {
  model = StreamModel{};
  const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
  ModelReader reader(model);
  std::size_t pos = 0;
  int line_number = 0;
  while (pos < all.size()) {
    const std::size_t end = std::min(all.find('\n', pos), all.size());
    std::string_view line = all.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line_number == 1) {
      Tokens t(line);
      std::string_view magic, version;
      if (!t.next(magic) || magic != kMagic || !t.next(version) || !t.at_end()) {
        error = {ModelParseStatus::NotAModel, 1, "no 'vidsalvage-model' line"};
        return false;
      }
      if (version != "1") {
        error = {ModelParseStatus::OtherVersion, 1, "a version other than 1"};
        return false;
      }
      continue;
    }
    if (line.empty() || line.front() == '#') continue;  // room for a reader's notes
    if (const char* reason = reader.read_line(line)) {
      error = {ModelParseStatus::Invalid, line_number, reason};
      return false;
    }
  }
  if (line_number == 0) {
    error = {ModelParseStatus::NotAModel, 1, "an empty file"};
    return false;
  }
  if (const char* reason = reader.finish()) {
    error = {ModelParseStatus::Invalid, line_number, reason};
    return false;
  }
  return true;
}

bool load_model(StreamModel& model) {
  ReferenceFile file;
  if (!file.open(kModelFileName)) {
    std::printf("Cannot open '%s'\n", kModelFileName);
    return false;
  }
  const std::int64_t size = file.size();
  if (size < 0 || size > kMaxModelBytes) {
    std::printf("Cannot read '%s'\n", kModelFileName);
    return false;
  }
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow)
                                            std::uint8_t[static_cast<std::size_t>(size) + 1]);
  if (!bytes) {
    std::printf("Cannot allocate %d bytes\n", static_cast<int>(size));
    return false;
  }
  std::printf("Reading '%s'...\n", kModelFileName);
  const std::span<std::uint8_t> text(bytes.get(), static_cast<std::size_t>(size));
  if (!file.read(text)) {
    std::printf("Cannot read '%s'\n", kModelFileName);
    return false;
  }
  ModelParseError error;
  if (parse_model(text, model, error)) return true;
  switch (error.status) {
    case ModelParseStatus::NotAModel:
      std::printf("'%s' is not a vidsalvage model\n", kModelFileName);
      break;
    case ModelParseStatus::OtherVersion:
      std::printf("'%s' is a model of another version; this program reads version %d\n",
                  kModelFileName, kModelVersion);
      break;
    case ModelParseStatus::Invalid:
    case ModelParseStatus::Ok:
      std::printf("Invalid model '%s', line %d: %s\n", kModelFileName, error.line, error.reason);
      break;
  }
  return false;
}

const ModelTrack* find_track(const StreamModel& model, std::uint32_t id) {
  for (const ModelTrack& t : model.tracks) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

}  // namespace vidsalvage
