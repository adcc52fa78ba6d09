#include "model/stream_model.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "codec/hevc_config.h"
#include "io/reference_file.h"

namespace vidsalvage {
namespace {

constexpr std::string_view kMagic = "vidsalvage-model";
constexpr std::size_t kWordsPerLine = 16;
// A model of a day-long recording stays far below this; anything larger is not one.
constexpr std::int64_t kMaxModelBytes = 64 * 1024 * 1024;
constexpr std::string_view kEmptyBytes = "-";  // a byte field that holds nothing

struct RoleNames {
  TrackRole role;
  const char* word;
  const char* description;
};
constexpr RoleNames kRoleNames[] = {{TrackRole::Video, "video", "H.264 video"},
                                    {TrackRole::Aac, "aac", "AAC audio"},
                                    {TrackRole::Pcm, "pcm", "PCM audio"},
                                    {TrackRole::Other, "other", "skipped"}};

struct CodecName {
  VideoCodec codec;
  const char* word;
};
constexpr CodecName kCodecNames[] = {{VideoCodec::Avc, "avc"}, {VideoCodec::Hevc, "hevc"}};

constexpr char kHexDigits[] = "0123456789abcdef";

void put_hex_byte(std::string& out, std::uint8_t b) {
  out += kHexDigits[b >> 4];
  out += kHexDigits[b & 15];
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two hex digits at `at`; -1 when they are not.
int hex_byte(std::string_view text, std::size_t at) {
  const int high = hex_digit(text[at]);
  const int low = hex_digit(text[at + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The words of one record, or of one compound word ("59x3003"), split at `separator`.
class Tokens {
 public:
  Tokens(std::string_view text, char separator) : text_(text), separator_(separator) {}
  bool next(std::string_view& token) {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = std::min(text_.find(separator_, pos_), text_.size());
    token = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return !token.empty();
  }
  // Everything after the words read so far, which it consumes.
  std::string_view rest() {
    const std::string_view r = pos_ >= text_.size() ? "" : text_.substr(pos_);
    pos_ = text_.size();
    return r;
  }
  bool at_end() const { return pos_ >= text_.size(); }

 private:
  std::string_view text_;
  char separator_;
  std::size_t pos_ = 0;
};

// ---- The two directions of one description
//
// Every record is described once, by a function of an `io` and the objects it
// holds: each field with its kind and its limit, then the checks that tie fields
// together. FieldWriter puts the fields into words and fails on a value outside
// its limit; FieldReader takes them from words and fails the same way. So the
// writer never makes a record the reader refuses.

class FieldWriter {
 public:
  FieldWriter(std::string& out, char separator) : out_(out), separator_(separator) {}

  bool key(std::string_view word) {
    put(word);
    return true;
  }
  template <std::integral T>
  bool number(const T& value, T low = std::numeric_limits<T>::min(),
              T high = std::numeric_limits<T>::max()) {
    put(std::to_string(value));
    return value >= low && value <= high;
  }
  bool choice(const bool& value, std::string_view if_false, std::string_view if_true) {
    put(value ? if_true : if_false);
    return true;
  }
  // A four-character code as one word: characters that would break the line into
  // other words, or that are not printable, are written as %XX.
  bool code(const std::string& text) {
    std::string word;
    for (char c : text) {
      const auto u = static_cast<std::uint8_t>(c);
      if (u > 0x20 && u < 0x7F && c != '%') {
        word += c;
      } else {
        word += '%';
        put_hex_byte(word, u);
      }
    }
    put(word);
    return text.size() == 4;
  }
  bool bytes(const std::vector<std::uint8_t>& value, std::size_t low, std::size_t high) {
    std::string word;
    for (std::uint8_t b : value) put_hex_byte(word, b);
    put(word.empty() ? kEmptyBytes : std::string_view(word));
    return value.size() >= low && value.size() <= high;
  }
  // Bytes of a fixed count, as one hex number: a prefix, a NAL head.
  template <typename T>
  bool hex(const T& value, int count) {
    std::string word;
    for (int i = count - 1; i >= 0; --i) {
      put_hex_byte(word, static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
    put(word);
    return count == 8 || static_cast<std::uint64_t>(value) >> (8 * count) == 0;
  }
  bool prefix(const std::array<std::uint8_t, 4>& value) {
    return bytes(std::vector<std::uint8_t>(value.begin(), value.end()), 4, 4);
  }
  // A byte, or ".." for any byte (-1).
  bool any_byte(const std::int32_t& value) {
    if (value < 0) return key("..");
    return hex(value, 1);
  }
  // Bytes where some vary: ".." for each byte whose `fixed` is 0.
  bool masked(const std::vector<std::uint8_t>& value, const std::vector<std::uint8_t>& fixed,
              std::size_t high) {
    if (fixed.size() != value.size()) return false;
    std::string word;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (fixed[i] != 0) {
        put_hex_byte(word, value[i]);
      } else {
        word += "..";
      }
    }
    put(word);
    return !value.empty() && value.size() <= high;
  }
  // Free text, the rest of the line.
  bool text(const std::string& value, std::size_t high) {
    if (!value.empty()) put(value);
    return value.size() <= high && printable(value);
  }
  bool role(const TrackRole& value) { return key(role_word(value)); }
  bool codec(const VideoCodec& value) {
    for (const CodecName& c : kCodecNames) {
      if (c.codec == value) return key(c.word);
    }
    return false;
  }
  bool size_rule(const SizeRule& value) {
    return key(value == SizeRule::Field ? "field" : value == SizeRule::Klv ? "klv" : "none");
  }
  static bool check(bool holds) { return holds; }

 private:
  void put(std::string_view word) {
    if (!first_) out_ += separator_;
    out_ += word;
    first_ = false;
  }

  std::string& out_;
  char separator_;
  bool first_ = true;
};

template <typename T>
bool parse_number(std::string_view token, T& out) {
  if (token.empty()) return false;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), out);
  return ec == std::errc() && end == token.data() + token.size();
}

class FieldReader {
 public:
  FieldReader(std::string_view text, char separator) : tokens_(text, separator) {}

  bool key(std::string_view word) {
    std::string_view token;
    return tokens_.next(token) && token == word;
  }
  template <std::integral T>
  bool number(T& value, T low = std::numeric_limits<T>::min(),
              T high = std::numeric_limits<T>::max()) {
    std::string_view token;
    return tokens_.next(token) && parse_number(token, value) && value >= low && value <= high;
  }
  bool choice(bool& value, std::string_view if_false, std::string_view if_true) {
    std::string_view token;
    if (!tokens_.next(token) || (token != if_false && token != if_true)) return false;
    value = token == if_true;
    return true;
  }
  bool code(std::string& text) {
    std::string_view token;
    if (!tokens_.next(token)) return false;
    text.clear();
    for (std::size_t i = 0; i < token.size(); ++i) {
      if (token[i] != '%') {
        text += token[i];
        continue;
      }
      if (token.size() - i < 3) return false;
      const int b = hex_byte(token, i + 1);
      if (b < 0) return false;
      text += static_cast<char>(b);
      i += 2;
    }
    return text.size() == 4;
  }
  bool bytes(std::vector<std::uint8_t>& value, std::size_t low, std::size_t high) {
    std::string_view token;
    if (!tokens_.next(token)) return false;
    value.clear();
    if (token == kEmptyBytes) return low == 0;
    if (token.size() % 2 != 0 || token.size() / 2 < low || token.size() / 2 > high) return false;
    for (std::size_t i = 0; i < token.size(); i += 2) {
      const int b = hex_byte(token, i);
      if (b < 0) return false;
      value.push_back(static_cast<std::uint8_t>(b));
    }
    return true;
  }
  template <typename T>
  bool hex(T& value, int count) {
    std::string_view token;
    if (!tokens_.next(token) || token.size() != static_cast<std::size_t>(count) * 2) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < token.size(); i += 2) {
      const int b = hex_byte(token, i);
      if (b < 0) return false;
      v = v << 8 | static_cast<std::uint64_t>(b);
    }
    value = static_cast<T>(v);
    return true;
  }
  bool prefix(std::array<std::uint8_t, 4>& value) {
    std::uint32_t key = 0;
    if (!hex(key, 4)) return false;
    for (std::size_t i = 0; i < 4; ++i) value[i] = static_cast<std::uint8_t>(key >> (24 - 8 * i));
    return true;
  }
  bool any_byte(std::int32_t& value) {
    std::string_view token;
    if (!tokens_.next(token) || token.size() != 2) return false;
    if (token == "..") {
      value = -1;
      return true;
    }
    value = hex_byte(token, 0);
    return value >= 0;
  }
  bool masked(std::vector<std::uint8_t>& value, std::vector<std::uint8_t>& fixed,
              std::size_t high) {
    std::string_view token;
    if (!tokens_.next(token) || token.size() % 2 != 0 || token.size() / 2 > high) return false;
    value.clear();
    fixed.clear();
    for (std::size_t i = 0; i < token.size(); i += 2) {
      const bool varies = token[i] == '.' && token[i + 1] == '.';
      const int b = varies ? 0 : hex_byte(token, i);
      if (b < 0) return false;
      value.push_back(static_cast<std::uint8_t>(b));
      fixed.push_back(varies ? 0 : 1);
    }
    return true;
  }
  bool text(std::string& value, std::size_t high) {
    value.assign(tokens_.rest());
    return value.size() <= high && printable(value);
  }
  bool role(TrackRole& value) {
    std::string_view token;
    if (!tokens_.next(token)) return false;
    for (const RoleNames& r : kRoleNames) {
      if (token == r.word) {
        value = r.role;
        return true;
      }
    }
    return false;
  }
  bool codec(VideoCodec& value) {
    std::string_view token;
    if (!tokens_.next(token)) return false;
    for (const CodecName& c : kCodecNames) {
      if (token == c.word) {
        value = c.codec;
        return true;
      }
    }
    return false;
  }
  bool size_rule(SizeRule& value) {
    std::string_view token;
    if (!tokens_.next(token)) return false;
    if (token == "none")
      value = SizeRule::None;
    else if (token == "field")
      value = SizeRule::Field;
    else if (token == "klv")
      value = SizeRule::Klv;
    else
      return false;
    return true;
  }
  static bool check(bool holds) { return holds; }
  bool at_end() const { return tokens_.at_end(); }
  bool word(std::string_view& token) { return tokens_.next(token); }

 private:
  Tokens tokens_;
};

// ---- The records

bool track_has_role(const StreamModel& model, std::uint32_t id, TrackRole role) {
  const ModelTrack* t = find_track(model, id);
  return t != nullptr && t->role == role;
}

bool reference_body(auto& io, auto& m) {
  return io.number(m.reference_size, std::int64_t{0}) && io.text(m.reference, kMaxTextChars);
}

bool track_body(auto& io, auto& t) {
  return io.number(t.id, 1u) && io.code(t.handler) && io.code(t.entry_type) && io.role(t.role) &&
         io.key("timescale") && io.number(t.timescale) && io.key("samples") &&
         io.number(t.samples) && io.key("sizes") && io.number(t.min_size) &&
         io.number(t.max_size) && io.check(t.min_size <= t.max_size) && io.key("name") &&
         io.text(t.name, kMaxTextChars);
}

bool field_body(auto& io, auto& f) {
  return io.number(f.offset) && io.number(f.width, 2u, 4u) && io.check(f.width != 3) &&
         io.check(f.offset <= kClassBytes - f.width) && io.choice(f.little_endian, "be", "le") &&
         io.number(f.adjust);
}

bool link_body(auto& io, auto& t) {
  return field_body(io, t.link) && io.key("held") && io.number(t.link_held) && io.key("of") &&
         io.number(t.link_of) && io.check(t.link_held <= t.link_of);
}

bool class_body(auto& io, auto& c) {
  if (!io.prefix(c.prefix) || !io.key("samples") || !io.number(c.samples) || !io.key("sizes") ||
      !io.number(c.min_size) || !io.number(c.max_size) || !io.key("next") ||
      !io.number(c.next_track) || !io.key("bytes") || !io.masked(c.bytes, c.fixed, kClassBytes) ||
      !io.check(c.min_size <= c.max_size && c.min_size >= 4 && c.bytes.size() <= c.min_size) ||
      !io.key("size") || !io.size_rule(c.size_rule)) {
    return false;
  }
  switch (c.size_rule) {
    case SizeRule::Field:
      return field_body(io, c.size_field);
    case SizeRule::Klv:
      return io.number(c.klv_items, 1u, kMaxKlvItems);
    case SizeRule::None:
      break;
  }
  return true;
}

bool video_body(auto& io, auto& v) {
  return io.number(v.track) && io.key("codec") && io.codec(v.codec) && io.key("nal-length") &&
         io.number(v.nal_length_size, 1u, 4u) && io.check(v.nal_length_size != 3) &&
         io.key("max-unit") && io.number(v.max_unit) && io.key("max-sample") &&
         io.number(v.max_sample) && io.key("max-gap") && io.number(v.max_gap);
}

// An hvcC is read as the recovery reads it, and says the unit lengths the video
// record says.
bool video_config_valid(const VideoModel& v) {
  if (v.codec != VideoCodec::Hevc) return true;
  HevcConfig config;
  return parse_hevc_config(v.avcc, config) && config.nal_length_size == v.nal_length_size;
}

bool video_config_body(auto& io, auto& v) {
  return io.bytes(v.avcc, 1, kMaxVideoConfigBytes) && io.check(video_config_valid(v));
}

bool audio_counts_body(auto& io, auto& a) {
  return io.key("samples") && io.number(a.samples) && io.key("back-to-back") &&
         io.number(a.back_to_back) && io.key("announced") && io.number(a.announced) &&
         io.check(a.back_to_back <= a.samples && a.announced <= a.samples);
}

bool aac_body(auto& io, auto& a) {
  return io.number(a.track, 1u) && io.key("config") &&
         io.bytes(a.config, 2, kMaxAudioConfigBytes) && audio_counts_body(io, a);
}

bool pcm_body(auto& io, auto& a) {
  return io.number(a.track, 1u) && io.key("channels") &&
         io.number(a.channels, 1u, kMaxPcmChannels) && io.key("bits") &&
         io.number(a.bits, 8u, 64u) && io.key("rate") && io.number(a.rate, 1u) &&
         io.choice(a.little_endian, "be", "le") && io.choice(a.float_samples, "int", "float") &&
         io.choice(a.signed_samples, "unsigned", "signed") && io.key("frame") &&
         io.number(a.bytes_per_frame) && io.check(pcm_format_valid(a)) && audio_counts_body(io, a);
}

bool movie_body(auto& io, auto& m) {
  return io.key("timescale") && io.number(m.timescale) && io.key("quicktime") &&
         io.choice(m.quicktime, "0", "1") && io.key("ftyp") &&
         io.bytes(m.ftyp, 0, kMaxTemplateBoxBytes);
}

bool movie_track_body(auto& io, auto& t) {
  return io.number(t.id, 1u) && io.code(t.handler) && io.key("timescale") &&
         io.number(t.timescale) && io.key("language") && io.number(t.language) && io.key("delta") &&
         io.number(t.sample_delta) && io.key("constant") && io.choice(t.constant_delta, "0", "1") &&
         io.key("ctts") && io.choice(t.composition_offsets, "0", "1") && io.key("stss") &&
         io.choice(t.sync_table, "0", "1") && io.key("entry") &&
         io.bytes(t.sample_entry, 0, kMaxSampleEntryBytes) && io.key("tkhd") &&
         io.bytes(t.tkhd, 0, kMaxTemplateBoxBytes) && io.key("media-header") &&
         io.bytes(t.media_header, 0, kMaxTemplateBoxBytes) && io.key("edit-list") &&
         io.bytes(t.edit_list, 0, kMaxTemplateBoxBytes) && io.key("name") &&
         io.text(t.handler_name, kMaxTextChars);
}

bool movie_lead_body(auto& io, auto& t) {
  return io.number(t.id, 1u) && io.number(t.lead, -kMaxLeadTicks, kMaxLeadTicks);
}

// ---- Lists: long ones go out a few words a line, and the reader appends.

struct Count {
  std::uint32_t key = 0;
  std::uint64_t count = 0;
};

bool duration_body(auto& io, auto& run) { return io.number(run.count) && io.number(run.delta); }
bool header_body(auto& io, auto& header) { return io.hex(header, 1); }
bool head_body(auto& io, auto& head) { return io.hex(head, 2); }
bool bigram_body(auto& io, auto& pair) {
  constexpr auto kLastType = static_cast<std::uint32_t>(kNalTypes - 1);
  return io.number(pair.first, 0u, kLastType) && io.number(pair.second, 0u, kLastType);
}
bool first_unit_body(auto& io, auto& f) {
  return io.hex(f.header, 1) && io.any_byte(f.second) && io.number(f.length);
}
// Keys as hex numbers of `hex_bytes` bytes, or decimal up to `max_key` when 0.
bool count_body(auto& io, auto& c, int hex_bytes, std::uint32_t max_key) {
  const bool key_ok = hex_bytes > 0 ? io.hex(c.key, hex_bytes) : io.number(c.key, 0u, max_key);
  return key_ok && io.number(c.count);
}

// ---- Writing

class ModelWriter {
 public:
  ModelWriter(std::string& out, ModelFault& fault) : out_(out), fault_(fault) {}

  template <typename Body>
  bool record(const char* name, Body body) {
    FieldWriter io(out_, ' ');
    io.key(name);
    const bool ok = body(io);
    out_ += '\n';
    return ok || fail(name);
  }

  // `head` writes the words that every line of the list repeats after its name.
  template <typename Item, typename Head, typename Body>
  bool list(const char* name, Head head, const std::vector<Item>& items, char separator,
            Body body) {
    for (std::size_t i = 0; i < items.size(); i += kWordsPerLine) {
      FieldWriter io(out_, ' ');
      io.key(name);
      bool ok = head(io);
      for (std::size_t k = i; k < std::min(items.size(), i + kWordsPerLine); ++k) {
        std::string word;
        FieldWriter element(word, separator);
        ok = body(element, items[k]) && ok;
        io.key(word);
      }
      out_ += '\n';
      if (!ok) return fail(name);
    }
    return true;
  }

  bool fail(const char* name, const char* reason = "a field outside its limit") {
    fault_ = {name, reason};
    return false;
  }

 private:
  std::string& out_;
  ModelFault& fault_;
};

const auto kNoHead = [](auto&) { return true; };

bool write_track(ModelWriter& w, const ModelTrack& t) {
  const auto head = [&](auto& io) { return io.number(t.id); };
  if (!w.record("track", [&](auto& io) { return track_body(io, t); }) ||
      !w.list("durations", head, t.durations, 'x',
              [](auto& io, const DurationRun& run) { return duration_body(io, run); })) {
    return false;
  }
  if (t.link.width != 0 &&
      !w.record("link", [&](auto& io) { return head(io) && link_body(io, t); })) {
    return false;
  }
  for (const PrefixClass& c : t.classes) {
    if (!w.record("class", [&](auto& io) { return head(io) && class_body(io, c); })) return false;
  }
  return true;
}

bool write_video(ModelWriter& w, const VideoModel& v) {
  std::vector<std::uint32_t> headers;
  for (std::uint32_t h = 0; h < v.headers.size(); ++h) {
    if (v.headers.test(h)) headers.push_back(h);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> bigrams;
  for (std::uint32_t i = 0; i < v.bigrams.size(); ++i) {
    constexpr auto kTypes = static_cast<std::uint32_t>(kNalTypes);
    if (v.bigrams.test(i)) bigrams.emplace_back(i / kTypes, i % kTypes);
  }
  return w.record("video", [&](auto& io) { return video_body(io, v); }) &&
         w.record("video-config", [&](auto& io) { return video_config_body(io, v); }) &&
         w.list("nal-headers", kNoHead, headers, ' ',
                [](auto& io, const std::uint32_t& h) { return header_body(io, h); }) &&
         w.list("heads", kNoHead, v.heads, ' ',
                [](auto& io, const std::uint16_t& h) { return head_body(io, h); }) &&
         w.list("bigrams", kNoHead, bigrams, '-',
                [](auto& io, const auto& pair) { return bigram_body(io, pair); }) &&
         w.list("first-units", kNoHead, v.first_units, ':',
                [](auto& io, const FirstUnit& f) { return first_unit_body(io, f); });
}

template <typename Key>
bool write_counts(ModelWriter& w, const char* name, const AudioModel& a, const Counts<Key>& counts,
                  int hex_bytes, std::uint32_t max_key) {
  std::vector<Count> items;
  for (const auto& [key, count] : counts) items.push_back({key, count});
  return w.list(
      name, [&](auto& io) { return io.number(a.track); }, items, ':',
      [&](auto& io, const Count& c) { return count_body(io, c, hex_bytes, max_key); });
}

bool write_audio(ModelWriter& w, const AudioModel& a) {
  const bool body = a.role == TrackRole::Pcm
                        ? w.record("pcm", [&](auto& io) { return pcm_body(io, a); }) &&
                              write_counts(w, "audio-chunks", a, a.chunks, 0, kMaxPcmChunkBytes)
                        : w.record("aac", [&](auto& io) { return aac_body(io, a); }) &&
                              write_counts(w, "aac-sizes", a, a.sizes, 0, kMaxAacFrameBytes) &&
                              write_counts(w, "aac-starts", a, a.starts2, 2, 0) &&
                              write_counts(w, "aac-starts3", a, a.starts3, 3, 0);
  return body && write_counts(w, "audio-after", a, a.after, 0, UINT32_MAX);
}

bool write_movie(ModelWriter& w, const MovieTemplate& m) {
  if (!w.record("movie", [&](auto& io) { return movie_body(io, m); })) return false;
  for (const TrackTemplate& t : m.tracks) {
    if (!w.record("movie-track", [&](auto& io) { return movie_track_body(io, t); })) return false;
  }
  for (const TrackTemplate& t : m.tracks) {
    if (t.has_lead && !w.record("movie-lead", [&](auto& io) { return movie_lead_body(io, t); })) {
      return false;
    }
  }
  return true;
}

bool write_model(const StreamModel& model, std::string& out, ModelFault& fault) {
  ModelWriter w(out, fault);
  if (!w.record("vidsalvage-model", [](auto& io) { return io.number(kModelVersion); }) ||
      !w.record("reference", [&](auto& io) { return reference_body(io, model); })) {
    return false;
  }
  for (const ModelTrack& t : model.tracks) {
    if (!write_track(w, t)) return false;
  }
  if (!write_video(w, model.video)) return false;
  if (model.audio.track != 0 && !write_audio(w, model.audio)) return false;
  for (const AudioModel& a : model.more_audio) {
    if (!write_audio(w, a)) return false;
  }
  return write_movie(w, model.movie) && w.record("end", kNoHead);
}

// ---- Reading

// Reads a model line by line; every record is checked as it is read, and the
// whole model once the last one is in.
class ModelReader {
 public:
  explicit ModelReader(StreamModel& model) : model_(model) {}

  // nullptr when the line was read; otherwise what is wrong with it.
  const char* read_line(std::string_view line) {
    if (ended_) return "a record after 'end'";
    const std::size_t space = std::min(line.find(' '), line.size());
    const std::string_view name = line.substr(0, space);
    FieldReader io(space < line.size() ? line.substr(space + 1) : std::string_view(), ' ');
    using Read = const char* (ModelReader::*)(FieldReader&);
    struct Record {
      std::string_view name;
      Read read;
    };
    static constexpr Record kRecords[] = {
        {"reference", &ModelReader::read_reference},
        {"track", &ModelReader::read_track},
        {"durations", &ModelReader::read_durations},
        {"link", &ModelReader::read_link},
        {"class", &ModelReader::read_class},
        {"video", &ModelReader::read_video},
        {"video-config", &ModelReader::read_video_config},
        {"nal-headers", &ModelReader::read_nal_headers},
        {"heads", &ModelReader::read_heads},
        {"bigrams", &ModelReader::read_bigrams},
        {"first-units", &ModelReader::read_first_units},
        {"aac", &ModelReader::read_aac},
        {"pcm", &ModelReader::read_pcm},
        {"aac-sizes", &ModelReader::read_aac_sizes},
        {"aac-starts", &ModelReader::read_aac_starts},
        {"aac-starts3", &ModelReader::read_aac_starts3},
        {"audio-after", &ModelReader::read_audio_after},
        {"audio-chunks", &ModelReader::read_audio_chunks},
        {"movie", &ModelReader::read_movie_record},
        {"movie-track", &ModelReader::read_movie_track},
        {"movie-lead", &ModelReader::read_movie_lead},
        {"end", &ModelReader::read_end},
    };
    for (const Record& r : kRecords) {
      if (r.name == name) return (this->*r.read)(io);
    }
    return "an unknown record";
  }

  // nullptr when the model is complete and consistent.
  const char* finish() const {
    if (!ended_) return "no 'end' record";
    if (model_.video.track == 0) return "no 'video' record";
    if (model_.video.avcc.empty()) return "no 'video-config' record";
    return nullptr;
  }

 private:
  ModelTrack* next_track(FieldReader& io) {
    std::uint32_t id = 0;
    if (!io.number(id)) return nullptr;
    for (ModelTrack& t : model_.tracks) {
      if (t.id == id) return &t;
    }
    return nullptr;
  }

  // The items of a list record, each a word of `separator`-joined fields, each
  // passed to `take`, which returns what is wrong with it or nullptr.
  template <typename Item, typename Body, typename Take>
  static const char* read_items(FieldReader& io, char separator, Body body, Take take,
                                const char* reason) {
    std::string_view word;
    while (io.word(word)) {
      FieldReader element(word, separator);
      Item item{};
      if (!body(element, item) || !element.at_end()) return reason;
      if (const char* fault = take(item)) return fault;
    }
    return io.at_end() ? nullptr : reason;
  }

  const char* read_reference(FieldReader& io) {
    return reference_body(io, model_) && io.at_end() ? nullptr : "a bad reference record";
  }

  const char* read_track(FieldReader& io) {
    if (model_.tracks.size() == kMaxModelTracks) return "too many tracks";
    ModelTrack track;
    if (!track_body(io, track) || !io.at_end()) return "a bad track record";
    if (find_track(model_, track.id) != nullptr) return "a repeated track number";
    model_.tracks.push_back(std::move(track));
    return nullptr;
  }

  const char* read_durations(FieldReader& io) {
    ModelTrack* track = next_track(io);
    if (track == nullptr) return "an unknown track";
    return read_items<DurationRun>(
        io, 'x', [](auto& e, DurationRun& run) { return duration_body(e, run); },
        [&](const DurationRun& run) {
          track->durations.push_back(run);
          return static_cast<const char*>(nullptr);
        },
        "a bad duration run");
  }

  const char* read_link(FieldReader& io) {
    ModelTrack* track = next_track(io);
    if (track == nullptr) return "an unknown track";
    if (track->link.width != 0) return "a second link of one track";
    if (!link_body(io, *track) || !io.at_end()) {
      track->link = {};
      return "a bad link";
    }
    return nullptr;
  }

  const char* read_class(FieldReader& io) {
    ModelTrack* track = next_track(io);
    if (track == nullptr) return "an unknown track";
    if (track->classes.size() == kMaxClassesPerTrack) return "too many classes";
    PrefixClass c;
    if (!class_body(io, c) || !io.at_end()) return "a bad class";
    for (const PrefixClass& other : track->classes) {
      if (other.prefix == c.prefix) return "a repeated class";
    }
    track->classes.push_back(std::move(c));
    return nullptr;
  }

  const char* read_video(FieldReader& io) {
    if (model_.video.track != 0) return "a second video record";
    VideoModel v;
    if (!video_body(io, v) || !io.at_end()) return "a bad video record";
    if (!track_has_role(model_, v.track, TrackRole::Video)) return "an unknown video track";
    model_.video = std::move(v);
    return nullptr;
  }

  const char* read_video_config(FieldReader& io) {
    VideoModel& v = model_.video;
    if (v.track == 0 || !v.avcc.empty()) return "a video-config record out of place";
    return video_config_body(io, v) && io.at_end() ? nullptr : "a bad video-config record";
  }

  const char* read_nal_headers(FieldReader& io) {
    if (model_.video.track == 0) return "a video record out of place";
    return read_items<std::uint32_t>(
        io, ' ', [](auto& e, std::uint32_t& h) { return header_body(e, h); },
        [&](std::uint32_t h) {
          model_.video.headers.set(h);
          return static_cast<const char*>(nullptr);
        },
        "a bad NAL header");
  }

  const char* read_heads(FieldReader& io) {
    if (model_.video.track == 0) return "a video record out of place";
    auto& heads = model_.video.heads;
    return read_items<std::uint16_t>(
        io, ' ', [](auto& e, std::uint16_t& h) { return head_body(e, h); },
        [&](std::uint16_t h) -> const char* {
          if (!heads.empty() && heads.back() >= h) return "heads out of order";
          heads.push_back(h);
          return nullptr;
        },
        "a bad head");
  }

  const char* read_bigrams(FieldReader& io) {
    if (model_.video.track == 0) return "a video record out of place";
    using Pair = std::pair<std::uint32_t, std::uint32_t>;
    return read_items<Pair>(
        io, '-', [](auto& e, Pair& p) { return bigram_body(e, p); },
        [&](const Pair& p) {
          model_.video.bigrams.set(p.first * kNalTypes + p.second);
          return static_cast<const char*>(nullptr);
        },
        "a bad bigram");
  }

  const char* read_first_units(FieldReader& io) {
    if (model_.video.track == 0) return "a video record out of place";
    auto& units = model_.video.first_units;
    return read_items<FirstUnit>(
        io, ':', [](auto& e, FirstUnit& f) { return first_unit_body(e, f); },
        [&](const FirstUnit& f) -> const char* {
          if (units.size() == kMaxFirstUnits) return "too many first units";
          units.push_back(f);
          return nullptr;
        },
        "a bad first unit");
  }

  const char* take_audio(AudioModel&& a, TrackRole role) {
    a.role = role;
    if (!track_has_role(model_, a.track, role)) return "an unknown audio track";
    if (find_audio(model_, a.track) != nullptr) return "a second audio record of one track";
    if (model_.audio.track == 0) {
      model_.audio = std::move(a);
    } else {
      model_.more_audio.push_back(std::move(a));
    }
    return nullptr;
  }

  const char* read_aac(FieldReader& io) {
    AudioModel a;
    if (!aac_body(io, a) || !io.at_end()) return "a bad aac record";
    return take_audio(std::move(a), TrackRole::Aac);
  }

  const char* read_pcm(FieldReader& io) {
    AudioModel a;
    a.role = TrackRole::Pcm;
    if (!pcm_body(io, a) || !io.at_end()) return "a bad pcm record";
    return take_audio(std::move(a), TrackRole::Pcm);
  }

  // The audio model of the track the record names, when it is of `role` (Other: any).
  AudioModel* next_audio(FieldReader& io, TrackRole role) {
    std::uint32_t id = 0;
    if (!io.number(id)) return nullptr;
    AudioModel* a = model_.audio.track == id ? &model_.audio : nullptr;
    for (AudioModel& more : model_.more_audio) {
      if (more.track == id) a = &more;
    }
    return a != nullptr && (role == TrackRole::Other || a->role == role) ? a : nullptr;
  }

  template <typename Key>
  const char* read_counts(FieldReader& io, Counts<Key> AudioModel::*counts, int hex_bytes,
                          std::uint32_t max_key, TrackRole role = TrackRole::Aac) {
    AudioModel* a = next_audio(io, role);
    if (a == nullptr) return "an audio record out of place";
    Counts<Key>& out = a->*counts;
    return read_items<Count>(
        io, ':', [&](auto& e, Count& c) { return count_body(e, c, hex_bytes, max_key); },
        [&](const Count& c) -> const char* {
          if (!out.empty() && out.back().first >= c.key) return "counts out of order";
          out.emplace_back(static_cast<Key>(c.key), c.count);
          return nullptr;
        },
        "a bad count");
  }

  const char* read_aac_sizes(FieldReader& io) {
    return read_counts(io, &AudioModel::sizes, 0, kMaxAacFrameBytes);
  }
  const char* read_aac_starts(FieldReader& io) {
    return read_counts(io, &AudioModel::starts2, 2, 0);
  }
  const char* read_aac_starts3(FieldReader& io) {
    return read_counts(io, &AudioModel::starts3, 3, 0);
  }
  const char* read_audio_after(FieldReader& io) {
    return read_counts(io, &AudioModel::after, 0, UINT32_MAX, TrackRole::Other);
  }
  const char* read_audio_chunks(FieldReader& io) {
    return read_counts(io, &AudioModel::chunks, 0, kMaxPcmChunkBytes, TrackRole::Pcm);
  }

  const char* read_movie_record(FieldReader& io) {
    if (movie_read_) return "a second movie record";
    movie_read_ = true;
    return movie_body(io, model_.movie) && io.at_end() ? nullptr : "a bad movie record";
  }

  const char* read_movie_track(FieldReader& io) {
    std::vector<TrackTemplate>& tracks = model_.movie.tracks;
    if (!movie_read_) return "a movie-track record out of place";
    if (tracks.size() == kMaxModelTracks) return "too many tracks";
    TrackTemplate t;
    if (!movie_track_body(io, t) || !io.at_end()) return "a bad movie-track record";
    for (const TrackTemplate& other : tracks) {
      if (other.id == t.id) return "a repeated track number";
    }
    tracks.push_back(std::move(t));
    return nullptr;
  }

  const char* read_movie_lead(FieldReader& io) {
    TrackTemplate lead;
    if (!movie_lead_body(io, lead) || !io.at_end()) return "a bad movie-lead record";
    for (TrackTemplate& t : model_.movie.tracks) {
      if (t.id != lead.id) continue;
      if (t.has_lead) return "a repeated movie-lead record";
      t.has_lead = true;
      t.lead = lead.lead;
      return nullptr;
    }
    return "a movie-lead record of no movie track";
  }

  const char* read_end(FieldReader& io) {
    ended_ = true;
    return io.at_end() ? nullptr : "words after 'end'";
  }

  StreamModel& model_;
  bool ended_ = false;
  bool movie_read_ = false;
};

}  // namespace

const char* role_word(TrackRole role) {
  for (const RoleNames& r : kRoleNames) {
    if (r.role == role) return r.word;
  }
  return "other";
}

bool is_slice_type(VideoCodec codec, int type) {
  if (codec == VideoCodec::Avc) return type == 1 || type == 5;
  // H.265 Table 7-1: 10-15 and 22-31 are reserved.
  return (type >= 0 && type <= 9) || (type >= 16 && type <= 21);
}

const char* video_description(VideoCodec codec) {
  return codec == VideoCodec::Hevc ? "HEVC video" : "H.264 video";
}

const char* role_description(TrackRole role) {
  for (const RoleNames& r : kRoleNames) {
    if (r.role == role) return r.description;
  }
  return "skipped";
}

bool pcm_format_valid(const AudioModel& a) {
  const bool bits_ok = a.float_samples
                           ? a.bits == 32 || a.bits == 64
                           : a.bits == 8 || a.bits == 16 || a.bits == 24 || a.bits == 32;
  return bits_ok && a.channels >= 1 && a.channels <= kMaxPcmChannels &&
         a.bytes_per_frame == a.channels * (a.bits / 8) && (a.signed_samples || a.bits == 8) &&
         (!a.float_samples || a.signed_samples);
}

std::uint64_t field_value(std::span<const std::uint8_t> bytes, const SizeField& field) {
  std::uint64_t v = 0;
  for (std::uint32_t i = 0; i < field.width; ++i) {
    v = (v << 8) | bytes[field.offset + (field.little_endian ? field.width - 1 - i : i)];
  }
  return v;
}

bool format_model(const StreamModel& model, std::string& text, ModelFault& fault) {
  text.clear();
  if (!write_model(model, text, fault)) {
    text.clear();
    return false;
  }
  // What the bodies cannot see, the reader's checks across records, refuses the
  // text here rather than when the recovery loads it.
  StreamModel again;
  ModelParseError error;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  if (!parse_model(bytes, again, error)) {
    fault = {"model", error.reason};
    text.clear();
    return false;
  }
  return true;
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
      FieldReader io(line, ' ');
      int version = 0;
      if (!io.key(kMagic) || !io.number(version) || !io.at_end()) {
        error = {ModelParseStatus::NotAModel, 1, "no 'vidsalvage-model' line"};
        return false;
      }
      if (version != kModelVersion) {
        error = {ModelParseStatus::OtherVersion, 1, "another version", version};
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
      std::printf(
          "'%s' is a model of version %d; this program reads version %d. Learn the intact "
          "recording again: vidsalvage INTACT.MP4 --model\n",
          kModelFileName, error.version, kModelVersion);
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

const AudioModel* find_audio(const StreamModel& model, std::uint32_t id) {
  if (id == 0) return nullptr;
  if (model.audio.track == id) return &model.audio;
  for (const AudioModel& a : model.more_audio) {
    if (a.track == id) return &a;
  }
  return nullptr;
}

}  // namespace vidsalvage
