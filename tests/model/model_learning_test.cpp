#include "model/model_learning.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/movie_boxes.h"
#include "support/temp_dir.h"

namespace vidsalvage {
namespace {
using test::append;
using test::append_u16;
using test::append_u32;
using test::box;
using test::Bytes;
using test::concat;
using test::TempDir;
using test::TrackLayout;

enum Track : std::uint32_t { kVideo = 1, kAudio = 2, kDescriptor = 3, kTelemetry = 4 };

TrackLayout layout_of(std::uint32_t track) {
  TrackLayout layout;
  layout.id = track;
  switch (track) {
    case kVideo:
      layout.entry_fields = test::visual_entry_fields();
      layout.entry_children = box("avcC", {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x02, 0x67, 0x64,
                                         0x01, 0x00, 0x02, 0x68, 0xEE});
      break;
    case kAudio:
      layout.handler = "soun";
      layout.entry = "mp4a";
      layout.entry_fields = test::sound_entry_fields(2, 16, 48000);
      layout.entry_children = test::aac_esds_box({0x11, 0x90});
      break;
    default:
      layout.handler = "meta";
      layout.entry = track == kDescriptor ? "camd" : "gpmd";
      break;
  }
  return layout;
}

// A camera's recording: a 16-byte descriptor announcing each sample's size.
class Recording {
 public:
  void add(Track track, const Bytes& sample) { builder_.add(track, sample); }

  void add_announced(Track track, const Bytes& next, std::uint32_t announced_size = 0) {
    Bytes d = {'G', 'P', static_cast<std::uint8_t>(track), 0};
    append_u32(d, announced_size != 0 ? announced_size : static_cast<std::uint32_t>(next.size()));
    append(d, Bytes{0, 0, 0, 0, static_cast<std::uint8_t>(sequence_++), 0, 0, 0});
    add(kDescriptor, d);
    add(track, next);
  }

  Bytes finish() const { return builder_.finish(layout_of); }

 private:
  test::RecordingBuilder builder_;
  int sequence_ = 0;
};

Bytes unit(std::uint8_t header, std::size_t payload, std::uint8_t fill) {
  Bytes u = {header};
  append(u, Bytes(payload, fill));
  return test::length_prefixed(u);
}

const Bytes kAud = test::length_prefixed({0x09, 0x10});

Bytes video_sample(int i) {
  if (i == 0) return concat({kAud, unit(0x06, 5, 0x05), unit(0x65, 300, 0x88)});
  return concat({kAud, unit(0x41, 100 + static_cast<std::size_t>(i) * 7, 0x9A)});
}

Bytes aac_frame(int i) {
  Bytes f = {0x21, static_cast<std::uint8_t>(0x10 + i % 2), 0x04};
  append(f, Bytes(200 + static_cast<std::size_t>(i % 3) * 10, 0x77));
  return f;
}

// One KLV item filling the sample: DEVC, type 0, structure size 1, repeat n.
Bytes klv_sample(std::uint16_t payload) {
  Bytes s = test::bytes_of("DEVC");
  s.push_back(0);
  s.push_back(1);
  append_u16(s, payload);
  append(s, Bytes(payload, 0x33));
  return s;
}

struct Learned {
  bool ok = false;
  StreamModel model;
  LearnError error;
};

Learned learn(const Bytes& file, bool allow_mapping = true) {
  TempDir dir;
  dir.write("ref.mp4", file);
  InputWindow input;
  Learned l;
  testing::internal::CaptureStdout();
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  if (open_input(input, dir.path("ref.mp4").c_str(), {.allow_mapping = allow_mapping}) &&
      read_movie(input, tracks, box_error)) {
    l.ok = learn_model(input, tracks, l.model, l.error);
  }
  testing::internal::GetCapturedStdout();
  return l;
}

Bytes camera_file() {
  Recording r;
  for (int i = 0; i < 20; ++i) {
    r.add_announced(kVideo, video_sample(i));
    r.add_announced(kAudio, aac_frame(i));
    if (i % 5 == 4)
      r.add_announced(kTelemetry, klv_sample(static_cast<std::uint16_t>(400 + i * 4)));
  }
  return r.finish();
}

const PrefixClass* class_of(const ModelTrack& track, std::uint8_t third) {
  for (const PrefixClass& c : track.classes) {
    if (c.prefix[2] == third) return &c;
  }
  return nullptr;
}

TEST(LearnModel, FindsTheDescriptorLinkAndItsClasses) {
  const Learned l = learn(camera_file());
  ASSERT_TRUE(l.ok);
  const ModelTrack& d = l.model.tracks[2];
  ASSERT_EQ(d.id, kDescriptor);
  EXPECT_EQ(d.role, TrackRole::Other);
  EXPECT_EQ(d.link.offset, 4u);
  EXPECT_EQ(d.link.width, 4u);
  EXPECT_FALSE(d.link.little_endian);
  EXPECT_EQ(d.link_held, 44u);  // every descriptor but none is last in the file
  EXPECT_EQ(d.link_of, 44u);
  ASSERT_EQ(d.classes.size(), 3u);
  const PrefixClass* audio = class_of(d, kAudio);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->samples, 20u);
  EXPECT_EQ(audio->next_track, kAudio);
  EXPECT_EQ(audio->min_size, 16u);
  EXPECT_EQ(audio->max_size, 16u);
  // Varying: the low bytes of the size (203 to 223) and the sequence number.
  EXPECT_EQ(audio->fixed,
            (std::vector<std::uint8_t>{1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1, 1}));
  EXPECT_EQ(class_of(d, kTelemetry)->next_track, kTelemetry);
  EXPECT_EQ(l.model.audio.announced, 20u);
  EXPECT_EQ(l.model.audio.back_to_back, 0u);
}

TEST(LearnModel, LearnsHowOtherSamplesGiveTheirOwnSize) {
  const Learned l = learn(camera_file());
  ASSERT_TRUE(l.ok);
  const ModelTrack& t = l.model.tracks[3];
  ASSERT_EQ(t.id, kTelemetry);
  ASSERT_EQ(t.classes.size(), 1u);
  const PrefixClass& c = t.classes[0];
  EXPECT_EQ(c.min_size, 8u + 416);
  EXPECT_EQ(c.max_size, 8u + 476);
  EXPECT_EQ(c.size_rule, SizeRule::Field);
  EXPECT_EQ(c.size_field.offset, 6u);
  EXPECT_EQ(c.size_field.width, 2u);
  EXPECT_EQ(c.size_field.adjust, 8);
  EXPECT_EQ(c.next_track, kDescriptor);
}

TEST(LearnModel, TakesAKlvChainWhenNoFieldHoldsTheSize) {
  // Two items per sample, of varying sizes: no single field holds the total.
  Recording r;
  for (int i = 0; i < 6; ++i) {
    r.add(kVideo, video_sample(i + 1));
    Bytes two = klv_sample(static_cast<std::uint16_t>(8 + 4 * i));
    append(two, klv_sample(static_cast<std::uint16_t>(40 - 4 * (i % 3))));
    r.add(kTelemetry, two);
  }
  const Learned l = learn(r.finish());
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.model.tracks[1].classes.size(), 1u);
  EXPECT_EQ(l.model.tracks[1].classes[0].size_rule, SizeRule::Klv);
  EXPECT_EQ(l.model.tracks[1].classes[0].klv_items, 2u);
}

TEST(LearnModel, LearnsTheVideoUnits) {
  const Learned l = learn(camera_file());
  ASSERT_TRUE(l.ok);
  const VideoModel& v = l.model.video;
  EXPECT_EQ(v.track, kVideo);
  EXPECT_EQ(v.nal_length_size, 4u);
  EXPECT_EQ(v.avcc.size(), 15u);
  EXPECT_EQ(v.max_unit, 1u + 300);  // the IDR slice of the first sample
  EXPECT_EQ(v.max_sample, 6u + 4 + 6 + 4 + 301);
  std::vector<int> headers;
  for (int h = 0; h < 256; ++h) {
    if (v.headers.test(static_cast<std::size_t>(h))) headers.push_back(h);
  }
  EXPECT_EQ(headers, (std::vector<int>{0x06, 0x09, 0x41, 0x65}));
  EXPECT_EQ(v.heads, (std::vector<std::uint16_t>{0x0605, 0x0910, 0x419A, 0x6588}));
  // Within samples 9-6, 6-5, 9-1; from one sample to the next 5-9 and 1-9.
  std::vector<std::pair<int, int>> bigrams;
  for (int i = 0; i < 1024; ++i) {
    if (v.bigrams.test(static_cast<std::size_t>(i))) bigrams.emplace_back(i / 32, i % 32);
  }
  EXPECT_EQ(bigrams, (std::vector<std::pair<int, int>>{{1, 9}, {5, 9}, {6, 5}, {9, 1}, {9, 6}}));
  // The delimiter began every sample with length 2; it is known by its length.
  ASSERT_EQ(v.first_units.size(), 1u);
  EXPECT_EQ(v.first_units[0].header, 0x09);
  EXPECT_EQ(v.first_units[0].second, 0x10);
  EXPECT_EQ(v.first_units[0].length, 2u);
  // Between video samples 14 and 15: a frame of 223 bytes and telemetry of 8 + 456,
  // each behind its descriptor, and the descriptor of sample 15.
  EXPECT_EQ(v.max_gap, 16u + 223 + 16 + 464 + 16);
}

TEST(LearnModel, CountsTheAacFrames) {
  const Learned l = learn(camera_file());
  ASSERT_TRUE(l.ok);
  const AudioModel& a = l.model.audio;
  EXPECT_EQ(a.track, kAudio);
  EXPECT_EQ(a.role, TrackRole::Aac);
  EXPECT_EQ(a.config, (std::vector<std::uint8_t>{0x11, 0x90}));
  EXPECT_EQ(a.samples, 20u);
  EXPECT_EQ(a.sizes, (Counts<std::uint32_t>{{203, 7}, {213, 7}, {223, 6}}));
  EXPECT_EQ(a.starts2, (Counts<std::uint16_t>{{0x2110, 10}, {0x2111, 10}}));
  EXPECT_EQ(a.starts3, (Counts<std::uint32_t>{{0x211004, 10}, {0x211104, 10}}));
}

TEST(LearnModel, KeepsALinkThatHoldsForNinetyNinePercent) {
  for (int misses : {1, 2}) {
    SCOPED_TRACE(misses);
    Recording r;
    r.add(kVideo, video_sample(1));
    for (int i = 0; i < 100; ++i) {
      r.add_announced(kAudio, aac_frame(i), i < misses ? 999 : 0);
    }
    const Learned l = learn(r.finish());
    ASSERT_TRUE(l.ok);
    const ModelTrack& d = l.model.tracks[2];
    if (misses == 1) {
      EXPECT_EQ(d.link.width, 4u);
      EXPECT_EQ(d.link_held, 99u);
      EXPECT_EQ(d.link_of, 100u);
    } else {
      EXPECT_EQ(d.link.width, 0u);
    }
  }
}

TEST(LearnModel, ReadsTheSameMappedAndWindowed) {
  const Bytes file = camera_file();
  const Learned mapped = learn(file, true);
  const Learned windowed = learn(file, false);
  ASSERT_TRUE(mapped.ok);
  ASSERT_TRUE(windowed.ok);
  std::string mapped_text, windowed_text;
  ModelFault fault;
  ASSERT_TRUE(format_model(mapped.model, mapped_text, fault));
  ASSERT_TRUE(format_model(windowed.model, windowed_text, fault));
  EXPECT_EQ(mapped_text, windowed_text);
}

TEST(LearnModel, RefusesARecordingWithoutVideoOrWithSamplesOutsideIt) {
  Recording audio_only;
  audio_only.add(kAudio, aac_frame(0));
  Learned l = learn(audio_only.finish());
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::NoVideo);

  Recording r;
  r.add(kVideo, video_sample(1));
  Bytes file = r.finish();
  // Move the single chunk offset of the video track past the end of the file.
  const std::size_t stco = file.size() - 4;
  file[stco] = 0x7F;
  l = learn(file);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::OutsideFile);
  EXPECT_EQ(l.error.track, kVideo);
}

// Damaged tables in an intact-looking recording leave the learning standing:
// every byte of the movie box changed in turn, the samples read where the
// damaged tables point.
TEST(LearnModel, SurvivesDamagedTables) {
  const Bytes file = camera_file();
  const std::size_t moov = file.size() - 1;
  std::size_t at = 0;
  for (std::size_t i = file.size(); i-- > 8;) {
    if (file[i - 4] == 'm' && file[i - 3] == 'o' && file[i - 2] == 'o' && file[i - 1] == 'v') {
      at = i - 8;
      break;
    }
  }
  ASSERT_GT(at, 0u);
  for (std::size_t i = at; i < moov; i += 3) {
    for (const std::uint8_t value : Bytes{0x00, 0x7F, 0xFF}) {
      Bytes mutated = file;
      mutated[i] = value;
      (void)learn(mutated);
    }
  }
}

}  // namespace
}  // namespace vidsalvage
