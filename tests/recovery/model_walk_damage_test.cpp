// The model walk through damage, checked against the ground truth of recordings
// built sample by sample: every sample that lies wholly outside the damage comes
// back byte for byte and in order, nothing from inside it is written, the walk
// reaches the end, and its report names the stretch it skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "recovery/model_fixture.h"
#include "recovery/model_walk.h"
#include "recovery/walk_harness.h"
#include "support/cli.h"

namespace vidsalvage {
namespace {
using test::append;
using test::Bytes;
using test::concat;

enum class Kind { Video, Audio, Other };

struct Sample {
  Kind kind = Kind::Other;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  std::vector<Bytes> units;  // a video sample's NAL units, without their lengths
};

struct Recording {
  Bytes media;
  std::vector<Sample> samples;
};

void add(Recording& r, Kind kind, const Bytes& bytes, std::vector<Bytes> units = {}) {
  r.samples.push_back({kind, static_cast<std::int64_t>(r.media.size()),
                       static_cast<std::int64_t>(bytes.size()), std::move(units)});
  append(r.media, bytes);
}

// The small camera's samples: with descriptors announcing every sample and
// telemetry now and then, or (plain) video samples and AAC frames back to back.
// A foreign recording is of another camera: its units, descriptors and frames
// begin with bytes this camera's model never saw.
Recording build(std::size_t groups, bool plain, std::uint32_t seed, bool foreign = false) {
  Recording r;
  const Bytes noise = test::pseudo_random_bytes(groups * 4 + 8, seed);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t payload = 200 + std::size_t{noise[g * 4]} * 5 + noise[g * 4 + 1];
    const Bytes slice_body = g % 30 == 0 ? Bytes{0x65, 0x88, 0x80} : Bytes{0x41, 0x9A};
    Bytes slice = slice_body;
    append(slice, Bytes(payload, static_cast<std::uint8_t>(0x40 + g % 64)));
    if (foreign) slice[0] = 0x61;  // a reference slice header no model here holds
    const Bytes aud = {0x09, 0x10};
    const Bytes video = concat({test::length_prefixed(aud), test::length_prefixed(slice)});
    Bytes frame = test::aac_frame(100 + noise[g * 4 + 2] % 21, static_cast<std::uint8_t>(g));
    if (foreign) frame[0] = 0x20;
    const auto sequence = static_cast<std::uint8_t>(g);
    if (!plain) add(r, Kind::Other, test::descriptor(1, video.size(), sequence));
    add(r, Kind::Video, video, {aud, slice});
    if (!plain) add(r, Kind::Other, test::descriptor(2, frame.size(), sequence));
    add(r, Kind::Audio, frame);
    if (!plain && g % 25 == 0) {
      add(r, Kind::Other, test::descriptor(5, 128, sequence));
      add(r, Kind::Other, test::telemetry_sample(120));
    }
  }
  if (foreign) {
    for (std::size_t at = 0; at + 1 < r.media.size(); ++at) {
      if (r.media[at] == 'G' && r.media[at + 1] == 'P') r.media[at + 1] = 'Q';
    }
  }
  return r;
}

StreamModel model_for(bool plain) {
  StreamModel m = test::camera_model();
  if (plain) m.audio.announced = 0;
  return m;
}

struct Output {
  WalkOutcome outcome = WalkOutcome::Finished;
  std::string text;
  std::vector<Bytes> units;
  std::vector<Bytes> frames;
};

std::vector<Bytes> annex_b_units(const Bytes& stream) {
  std::vector<Bytes> units;
  std::size_t at = 0;
  while (at + 4 <= stream.size()) {
    std::size_t next = at + 4;
    while (next + 4 <= stream.size() && !(stream[next] == 0 && stream[next + 1] == 0 &&
                                          stream[next + 2] == 0 && stream[next + 3] == 1)) {
      ++next;
    }
    if (next + 4 > stream.size()) next = stream.size();
    units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + 4),
                       stream.begin() + static_cast<std::ptrdiff_t>(next));
    at = next;
  }
  return units;
}

std::vector<Bytes> adts_payloads(const Bytes& stream) {
  std::vector<Bytes> frames;
  for (std::size_t at = 0; at + 7 <= stream.size();) {
    const std::size_t length = (std::size_t{stream[at + 3]} & 3) << 11 |
                               std::size_t{stream[at + 4]} << 3 | stream[at + 5] >> 5;
    if (length < 7 || at + length > stream.size()) break;
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + 7),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  }
  return frames;
}

// `cut`: the recording ends where the media ends, cut inside a sample.
Output walk(const Bytes& media, const StreamModel& model, bool cut, bool windowed = false) {
  test::OpenInput in(media, windowed);
  AudioOutput audio;
  audio.mode = AudioMode::Aac;
  audio.adts = test::kLcStereo48k;
  OutputFile video;
  EXPECT_TRUE(video.open(in.dir.path("video.out").c_str()));
  EXPECT_TRUE(audio.file.open(in.dir.path("audio.out").c_str()));
  Output out;
  testing::internal::CaptureStdout();
  out.outcome = walk_with_model(in.input, 0, model, audio, video,
                                cut ? kNotFound : static_cast<std::int64_t>(media.size()));
  out.text = test::terminal_view(testing::internal::GetCapturedStdout());
  EXPECT_TRUE(video.close());
  EXPECT_TRUE(audio.file.close());
  out.units = annex_b_units(in.dir.read("video.out"));
  out.frames = adts_payloads(in.dir.read("audio.out"));
  return out;
}

struct Damage {
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

enum class DamageKind { Zeros, Random, Foreign, Truncation };
enum class Place { InVideoUnit, InAudioFrame, BetweenSamples, StartOfMedia, BeforeTheEnd };

// Where damage of `size` bytes begins for a place: a third into the media data,
// or a few samples before its end.
std::int64_t damage_offset(const Recording& r, Place place, std::int64_t size) {
  const auto third = static_cast<std::int64_t>(r.media.size() / 3);
  const auto first_from = [&](Kind kind, std::int64_t from) {
    for (const Sample& s : r.samples) {
      if (s.kind == kind && s.offset >= from) return s;
    }
    return r.samples.back();
  };
  switch (place) {
    case Place::InVideoUnit: {
      const Sample s = first_from(Kind::Video, third);
      return s.offset + s.size / 2;
    }
    case Place::InAudioFrame: {
      const Sample s = first_from(Kind::Audio, third);
      return s.offset + s.size / 2;
    }
    case Place::BetweenSamples:
      return first_from(Kind::Video, third).offset;
    case Place::StartOfMedia:
      return 0;
    case Place::BeforeTheEnd:
      return r.samples[r.samples.size() - 6].offset - size;
  }
  return 0;
}

Bytes damaged(const Recording& r, DamageKind kind, const Damage& d, const Recording& foreign) {
  if (kind == DamageKind::Truncation) {
    return Bytes(r.media.begin(), r.media.begin() + d.offset);
  }
  Bytes media = r.media;
  const auto size = static_cast<std::size_t>(d.size);
  const Bytes bytes =
      kind == DamageKind::Zeros ? Bytes(size, 0)
      : kind == DamageKind::Random
          ? test::pseudo_random_bytes(size, 77)
          : Bytes(foreign.media.begin(), foreign.media.begin() + static_cast<std::ptrdiff_t>(size));
  std::copy(bytes.begin(), bytes.end(), media.begin() + d.offset);
  return media;
}

// What the walk must give back: the samples wholly outside the damage, and what
// it may give back: any unit or frame wholly outside it.
struct Truth {
  std::vector<Bytes> samples;  // video samples, their units each behind its length
  std::vector<Bytes> frames;
  std::set<Bytes> units_outside;
  std::set<Bytes> frames_outside;
};

Truth outside(const Recording& r, const Damage& d) {
  Truth t;
  const auto clear = [&](std::int64_t offset, std::int64_t size) {
    return offset + size <= d.offset || d.offset + d.size <= offset;
  };
  for (const Sample& s : r.samples) {
    const Bytes bytes(r.media.begin() + s.offset, r.media.begin() + s.offset + s.size);
    if (s.kind == Kind::Audio && clear(s.offset, s.size)) {
      t.frames.push_back(bytes);
      t.frames_outside.insert(bytes);
    }
    if (s.kind != Kind::Video) continue;
    if (clear(s.offset, s.size)) t.samples.push_back(bytes);
    std::int64_t at = s.offset;
    for (const Bytes& unit : s.units) {
      if (clear(at, 4 + static_cast<std::int64_t>(unit.size()))) t.units_outside.insert(unit);
      at += 4 + static_cast<std::int64_t>(unit.size());
    }
  }
  return t;
}

std::size_t count_not_in(const std::set<Bytes>& allowed, const std::vector<Bytes>& found) {
  return static_cast<std::size_t>(std::count_if(
      found.begin(), found.end(), [&](const Bytes& b) { return allowed.count(b) == 0; }));
}

// How many of `expected` come back in `found` in order: a found item is matched
// to the next expected item equal to it. Items must be told apart by their bytes
// (no two delimiters).
struct Share {
  std::size_t matched = 0;
  std::size_t expected = 0;
  double percent() const {
    return expected == 0 ? 100.0
                         : 100.0 * static_cast<double>(matched) / static_cast<double>(expected);
  }
};

Share share(const std::vector<Bytes>& expected, const std::vector<Bytes>& found) {
  Share s;
  s.expected = expected.size();
  std::size_t next = 0;
  for (const Bytes& item : found) {
    std::size_t e = next;
    while (e < expected.size() && expected[e] != item) ++e;
    if (e < expected.size()) {
      ++s.matched;
      next = e + 1;
    }
  }
  return s;
}

// Units grouped into samples, each beginning with its delimiter: a sample's
// slice tells it apart where the delimiters are all alike.
std::vector<Bytes> samples_of(const std::vector<Bytes>& units) {
  std::vector<Bytes> samples;
  for (const Bytes& u : units) {
    if (samples.empty() || (!u.empty() && u[0] == 0x09)) samples.emplace_back();
    append(samples.back(), test::length_prefixed(u));
  }
  return samples;
}

// The stretches the trace lines say were skipped.
std::vector<Damage> skipped_stretches(const std::string& text) {
  std::vector<Damage> stretches;
  std::size_t at = 0;
  while ((at = text.find("skip: ", at)) != std::string::npos) {
    unsigned long long offset = 0, length = 0;
    if (std::sscanf(text.c_str() + at, "skip: 0x%llX [0x%llX]", &offset, &length) == 2) {
      stretches.push_back({static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length)});
    }
    at += 6;
  }
  return stretches;
}

// Whether skipped stretches, one after another, cover [offset, end).
bool covered(std::vector<Damage> stretches, std::int64_t offset, std::int64_t end) {
  std::sort(stretches.begin(), stretches.end(),
            [](const Damage& a, const Damage& b) { return a.offset < b.offset; });
  for (const Damage& s : stretches) {
    if (s.offset <= offset && s.offset + s.size > offset) offset = s.offset + s.size;
  }
  return offset >= end;
}

struct DamageCase {
  DamageKind kind;
  Place place;
  std::int64_t size;
};

std::string name_of(const DamageCase& c, bool plain) {
  constexpr const char* kKinds[] = {"zeros", "random", "another recording", "truncation"};
  constexpr const char* kPlaces[] = {"inside a video unit", "inside an audio frame",
                                     "between samples", "at the start of mdat",
                                     "just before the end"};
  return std::string(plain ? "plain: " : "camera: ") + kKinds[static_cast<int>(c.kind)] + ", " +
         std::to_string(c.size) + " bytes " + kPlaces[static_cast<int>(c.place)];
}

std::vector<DamageCase> damage_table() {
  std::vector<DamageCase> cases;
  for (DamageKind kind : {DamageKind::Zeros, DamageKind::Random, DamageKind::Foreign}) {
    for (Place place : {Place::InVideoUnit, Place::InAudioFrame, Place::BetweenSamples,
                        Place::StartOfMedia, Place::BeforeTheEnd}) {
      for (std::int64_t size : {1024, 64 * 1024, 1024 * 1024}) cases.push_back({kind, place, size});
    }
  }
  for (Place place : {Place::InVideoUnit, Place::InAudioFrame, Place::BetweenSamples}) {
    cases.push_back({DamageKind::Truncation, place, 0});
  }
  return cases;
}

struct Totals {
  Share units;
  Share frames;
  void add(const Share& u, const Share& f) {
    units.matched += u.matched;
    units.expected += u.expected;
    frames.matched += f.matched;
    frames.expected += f.expected;
  }
};

class ModelWalkDamage : public testing::TestWithParam<bool> {};

TEST_P(ModelWalkDamage, ReturnsEverySampleOutsideTheDamage) {
  const bool plain = GetParam();
  const StreamModel model = model_for(plain);
  const Recording r = build(2400, plain, 3);  // about 3 MB
  const Recording foreign = build(1200, plain, 5, true);
  Totals totals;
  for (const DamageCase& c : damage_table()) {
    SCOPED_TRACE(name_of(c, plain));
    Damage d{damage_offset(r, c.place, c.size), c.size};
    const Bytes media = damaged(r, c.kind, d, foreign);
    if (c.kind == DamageKind::Truncation)
      d.size = static_cast<std::int64_t>(r.media.size()) - d.offset;
    const Truth truth = outside(r, d);
    const Output out = walk(media, model, c.kind == DamageKind::Truncation);
    EXPECT_EQ(out.outcome, WalkOutcome::Finished);
    const Share units = share(truth.samples, samples_of(out.units));
    const Share frames = share(truth.frames, out.frames);
    totals.add(units, frames);
    EXPECT_EQ(count_not_in(truth.units_outside, out.units), 0u);
    EXPECT_EQ(count_not_in(truth.frames_outside, out.frames), 0u);
    EXPECT_GE(units.percent(), 99.0);
    EXPECT_GE(frames.percent(), 99.0);
    const std::int64_t end =
        std::min<std::int64_t>(d.offset + d.size, static_cast<std::int64_t>(media.size()));
    if (c.kind != DamageKind::Truncation) {
      EXPECT_TRUE(covered(skipped_stretches(out.text), d.offset, end));
      EXPECT_NE(out.text.find("damaged stretches"), std::string::npos);
    }
  }
  std::printf(
      "[ figures  ] %s layout, damage table: video samples %.2f%% (%zu of %zu), AAC frames "
      "%.2f%% (%zu of %zu)\n",
      plain ? "plain" : "camera", totals.units.percent(), totals.units.matched,
      totals.units.expected, totals.frames.percent(), totals.frames.matched,
      totals.frames.expected);
}

// Damage longer than the input window, inserted between two samples: the walk
// searches through it at any length, and the window's reloads inside it change
// nothing that is written.
TEST(ModelWalkLongDamage, PassesStretchesLongerThanTheWindowMappedAndWindowed) {
  struct Case {
    const char* name;
    bool plain;
    bool random;
    std::int64_t size;
  };
  const Case cases[] = {
      {"camera, 16 MB of zeros", false, false, 16 * 1024 * 1024},
      {"plain, 80 MB of random bytes", true, true, 80 * 1024 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Recording r = build(600, c.plain, 9);
    const Damage d{damage_offset(r, Place::BetweenSamples, 0), c.size};
    const auto size = static_cast<std::size_t>(c.size);
    Bytes media(r.media.begin(), r.media.begin() + d.offset);
    append(media, c.random ? test::pseudo_random_bytes(size, 41) : Bytes(size, 0));
    media.insert(media.end(), r.media.begin() + d.offset, r.media.end());
    const Output mapped = walk(media, model_for(c.plain), false);
    const Output windowed = walk(media, model_for(c.plain), false, true);
    EXPECT_EQ(mapped.outcome, WalkOutcome::Finished);
    EXPECT_EQ(windowed.outcome, WalkOutcome::Finished);
    EXPECT_TRUE(windowed.units == mapped.units);
    EXPECT_TRUE(windowed.frames == mapped.frames);
    EXPECT_EQ(windowed.text, mapped.text);
    // Nothing of the recording is damaged: every sample comes back but the one
    // whose last unit the damage follows.
    const Truth truth = outside(r, {0, 0});
    EXPECT_GE(share(truth.samples, samples_of(mapped.units)).matched + 1, truth.samples.size());
    EXPECT_GE(share(truth.frames, mapped.frames).matched + 1, truth.frames.size());
    EXPECT_TRUE(covered(skipped_stretches(mapped.text), d.offset, d.offset + d.size));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ModelWalkDamage, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return std::string(p.param ? "Plain" : "Camera");
                         });

}  // namespace
}  // namespace vidsalvage
