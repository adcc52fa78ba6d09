#include "model/model_learning.h"

#include <gtest/gtest.h>

#include <bitset>
#include <chrono>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/hevc_bytes.h"
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
      layout.entry_children = box("avcC", {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x02, 0x67,
                                           0x64, 0x01, 0x00, 0x02, 0x68, 0xEE});
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
  constexpr int kTypes = static_cast<int>(kNalTypes);
  for (int i = 0; i < kTypes * kTypes; ++i) {
    if (v.bigrams.test(static_cast<std::size_t>(i))) bigrams.emplace_back(i / kTypes, i % kTypes);
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

// ---- HEVC

// An HEVC unit: its two header bytes (type, layer 0, temporal id plus 1), a payload.
Bytes hevc_unit(int type, std::size_t payload, std::uint8_t tid_plus1 = 1) {
  Bytes u = {static_cast<std::uint8_t>(type << 1), tid_plus1};
  append(u, Bytes(payload, 0x5A));
  return test::length_prefixed(u);
}

const Bytes kHevcAud = test::length_prefixed({0x46, 0x01, 0x50});  // pic_type 2, stop bit

// A recording of HEVC samples of `entry` with this configuration record, and AAC.
Bytes hevc_file(const std::vector<Bytes>& samples, const std::string& entry = "hvc1",
                const Bytes& record = test::kHevcRecord) {
  test::RecordingBuilder builder;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    builder.add(kVideo, samples[i]);
    builder.add(kAudio, aac_frame(static_cast<int>(i)));
  }
  return builder.finish([&](std::uint32_t track) {
    TrackLayout layout = layout_of(track);
    if (track != kVideo) return layout;
    layout.entry = entry;
    layout.entry_children = box("hvcC", record);
    if (entry == "dvh1" || entry == "dvhe") append(layout.entry_children, box("dvcC", Bytes(24)));
    return layout;
  });
}

std::vector<int> set_bits(const std::bitset<256>& bits) {
  std::vector<int> out;
  for (int h = 0; h < 256; ++h) {
    if (bits.test(static_cast<std::size_t>(h))) out.push_back(h);
  }
  return out;
}

TEST(LearnModel, LearnsHevcUnitsByTheirTwoByteHeaders) {
  // Delimiter, parameter sets, SEI and an IDR picture; then trailing pictures, a
  // non-reference one with temporal id 1, and a CRA picture.
  const Bytes first = concat({kHevcAud, hevc_unit(32, 20), hevc_unit(33, 40), hevc_unit(34, 4),
                              hevc_unit(39, 6), hevc_unit(19, 900)});
  const Learned l = learn(hevc_file({first, concat({kHevcAud, hevc_unit(1, 300)}),
                                     concat({kHevcAud, hevc_unit(0, 100, 2)}),
                                     concat({kHevcAud, hevc_unit(21, 800)})}));
  ASSERT_TRUE(l.ok);
  const VideoModel& v = l.model.video;
  EXPECT_EQ(v.codec, VideoCodec::Hevc);
  EXPECT_EQ(v.avcc, test::kHevcRecord);
  EXPECT_EQ(v.nal_length_size, 4u);
  EXPECT_EQ(v.max_unit, 902u);
  EXPECT_EQ(set_bits(v.headers),
            (std::vector<int>{0x00, 0x02, 0x26, 0x2A, 0x40, 0x42, 0x44, 0x46, 0x4E}));
  EXPECT_EQ(v.heads, (std::vector<std::uint16_t>{0x0002, 0x0201, 0x2601, 0x2A01, 0x4001, 0x4201,
                                                 0x4401, 0x4601, 0x4E01}));
  std::vector<std::pair<std::size_t, std::size_t>> bigrams;
  for (std::size_t i = 0; i < v.bigrams.size(); ++i) {
    if (v.bigrams.test(i)) bigrams.emplace_back(i / kNalTypes, i % kNalTypes);
  }
  EXPECT_EQ(bigrams, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 35},
                                                                       {1, 35},
                                                                       {19, 35},
                                                                       {32, 33},
                                                                       {33, 34},
                                                                       {34, 39},
                                                                       {35, 0},
                                                                       {35, 1},
                                                                       {35, 21},
                                                                       {35, 32},
                                                                       {39, 19}}));
  // Every sample opened with a delimiter of three bytes.
  EXPECT_EQ(v.first_units, (std::vector<FirstUnit>{{0x46, 0x01, 3}}));
}

TEST(LearnModel, RecordsEachKindOfFirstHevcUnit) {
  struct Case {
    const char* name;
    std::vector<Bytes> samples;
    std::vector<FirstUnit> first_units;
  };
  const Bytes parameter_sets = concat({hevc_unit(32, 20), hevc_unit(33, 40), hevc_unit(34, 4)});
  const Case cases[] = {
      {"parameter sets in band in front of IRAP pictures, trailing pictures alone",
       {concat({parameter_sets, hevc_unit(19, 500)}), hevc_unit(1, 200), hevc_unit(0, 90, 2),
        concat({parameter_sets, hevc_unit(21, 500)}), hevc_unit(1, 210)},
       {{0x00, -1, 0}, {0x02, -1, 0}, {0x40, 0x01, 22}}},
      {"a prefix SEI of varying length, IDR without leading pictures",
       {concat({hevc_unit(39, 6), hevc_unit(20, 500)}),
        concat({hevc_unit(39, 9), hevc_unit(1, 50)})},
       {{0x4E, 0x01, 0}}},
      {"pictures alone: CRA, RASL, IDR with leading pictures",
       {hevc_unit(21, 500), hevc_unit(8, 90, 2), hevc_unit(19, 400)},
       {{0x10, -1, 0}, {0x26, -1, 0}, {0x2A, -1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Learned l = learn(hevc_file(c.samples));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.model.video.first_units, c.first_units);
  }
}

TEST(ChooseRoles, TakesHevcEntriesWithARecordThatReads) {
  struct Case {
    const char* name;
    std::string entry;
    Bytes record;
    bool video;
  };
  Bytes two_byte_lengths = test::kHevcRecord;
  two_byte_lengths[21] = 0xFD;
  Bytes three_byte_lengths = test::kHevcRecord;
  three_byte_lengths[21] = 0xFE;
  const Bytes cut(test::kHevcRecord.begin(), test::kHevcRecord.end() - 3);
  const Case cases[] = {
      {"hvc1", "hvc1", test::kHevcRecord, true},
      {"hev1", "hev1", test::kHevcRecord, true},
      {"Dolby Vision dvh1", "dvh1", test::kHevcRecord, true},
      {"Dolby Vision dvhe", "dvhe", test::kHevcRecord, true},
      {"two-byte lengths", "hvc1", two_byte_lengths, true},
      {"three-byte lengths", "hvc1", three_byte_lengths, false},
      {"a record cut inside its last array", "hvc1", cut, false},
      {"an hvcC under an AVC entry", "avc1", test::kHevcRecord, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Learned l = learn(hevc_file({hevc_unit(19, 100), hevc_unit(1, 50)}, c.entry, c.record));
    ASSERT_EQ(l.ok, c.video);
    if (!c.video) {
      EXPECT_EQ(l.error.status, LearnStatus::NoVideo);
      continue;
    }
    EXPECT_EQ(l.model.video.codec, VideoCodec::Hevc);
    EXPECT_EQ(l.model.video.nal_length_size, c.record[21] == 0xFD ? 2u : 4u);
    EXPECT_EQ(l.model.tracks[0].entry_type, c.entry);
  }
}

TEST(LearnModel, WritesAnHevcModelThatLoadsBack) {
  const Learned l = learn(hevc_file({concat({kHevcAud, hevc_unit(19, 500)}),
                                     concat({kHevcAud, hevc_unit(63, 10), hevc_unit(1, 90)})}));
  ASSERT_TRUE(l.ok);
  std::string text;
  ModelFault fault;
  ASSERT_TRUE(format_model(l.model, text, fault)) << fault.record << ": " << fault.reason;
  EXPECT_NE(text.find("video 1 codec hevc nal-length 4 "), std::string::npos);
  EXPECT_NE(text.find("bigrams 19-35 35-19 35-63 63-1\n"), std::string::npos);
  StreamModel read;
  ModelParseError error;
  ASSERT_TRUE(
      parse_model({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, read, error))
      << error.line << ": " << error.reason;
  EXPECT_EQ(read.video, l.model.video);
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

// ---- Audio formats, from the tables alone

TrackTables sound_track(std::string entry, std::uint32_t channels, std::uint32_t bits,
                        std::uint32_t rate) {
  TrackTables t;
  t.id = 2;
  t.handler = "soun";
  t.entry_type = std::move(entry);
  t.channels = channels;
  t.sample_bits = bits;
  t.sample_rate = rate;
  t.timescale = rate;
  return t;
}

struct PcmCase {
  const char* name;
  TrackTables track;
  std::uint32_t bits;
  bool little_endian;
  bool float_samples;
  bool signed_samples;
  std::uint32_t bytes_per_frame;
};

TEST(AudioFormat, ReadsEveryFormOfPcm) {
  TrackTables in24_le = sound_track("in24", 2, 16, 48000);
  in24_le.sound_version = 1;
  in24_le.bytes_per_frame = 6;
  in24_le.little_endian_box = true;
  TrackTables lpcm_s16le = sound_track("lpcm", 1, 16, 44100);
  lpcm_s16le.sound_version = 2;
  lpcm_s16le.lpcm_flags = 0xC;  // signed, packed
  lpcm_s16le.bytes_per_frame = 2;
  lpcm_s16le.frames_per_packet = 1;
  TrackTables lpcm_f32be = lpcm_s16le;
  lpcm_f32be.channels = 2;
  lpcm_f32be.sample_bits = 32;
  lpcm_f32be.lpcm_flags = 0xB;  // float, big-endian, packed
  lpcm_f32be.bytes_per_frame = 8;
  TrackTables ipcm = sound_track("ipcm", 6, 16, 48000);
  ipcm.has_pcm_config = true;
  ipcm.pcm_format_flags = 1;
  ipcm.pcm_sample_size = 24;
  TrackTables fpcm = sound_track("fpcm", 2, 16, 96000);
  fpcm.has_pcm_config = true;
  fpcm.pcm_sample_size = 64;
  const PcmCase cases[] = {
      {"sowt", sound_track("sowt", 2, 16, 48000), 16, true, false, true, 4},
      {"twos", sound_track("twos", 1, 16, 8000), 16, false, false, true, 2},
      {"raw, 8-bit offset binary", sound_track("raw ", 1, 8, 8000), 8, true, false, false, 1},
      {"twos, 8-bit signed", sound_track("twos", 1, 8, 8000), 8, false, false, true, 1},
      {"in24 big-endian", sound_track("in24", 2, 16, 48000), 24, false, false, true, 6},
      {"in24 with enda", in24_le, 24, true, false, true, 6},
      {"in32", sound_track("in32", 1, 16, 48000), 32, false, false, true, 4},
      {"fl32", sound_track("fl32", 2, 16, 48000), 32, false, true, true, 8},
      {"fl64", sound_track("fl64", 1, 16, 48000), 64, false, true, true, 8},
      {"lpcm integer", lpcm_s16le, 16, true, false, true, 2},
      {"lpcm float", lpcm_f32be, 32, false, true, true, 8},
      {"ipcm with pcmC", ipcm, 24, true, false, true, 18},
      {"fpcm with pcmC", fpcm, 64, false, true, true, 16},
  };
  for (const PcmCase& c : cases) {
    SCOPED_TRACE(c.name);
    AudioModel a;
    SkippedAudio why;
    ASSERT_TRUE(audio_format(c.track, a, why));
    EXPECT_EQ(a.role, TrackRole::Pcm);
    EXPECT_EQ(a.track, 2u);
    EXPECT_EQ(a.channels, c.track.channels);
    EXPECT_EQ(a.rate, c.track.sample_rate);
    EXPECT_EQ(a.bits, c.bits);
    EXPECT_EQ(a.little_endian, c.little_endian);
    EXPECT_EQ(a.float_samples, c.float_samples);
    EXPECT_EQ(a.signed_samples, c.signed_samples);
    EXPECT_EQ(a.bytes_per_frame, c.bytes_per_frame);
  }
}

TEST(AudioFormat, TakesTheRateFromTheMediaWhenTheEntryCannotHoldIt) {
  // 96 kHz in a version 0 entry: its 16.16 rate field wraps to 30464.
  TrackTables t = sound_track("sowt", 2, 16, 96000 - 65536);
  t.timescale = 96000;
  AudioModel a;
  SkippedAudio why;
  ASSERT_TRUE(audio_format(t, a, why));
  EXPECT_EQ(a.rate, 96000u);
}

struct SkipCase {
  const char* name;
  TrackTables track;
  AudioSkip why;
  int object_type;
};

TEST(AudioFormat, SaysWhyATrackIsNotAudioItWrites) {
  TrackTables lpcm_v0 = sound_track("lpcm", 2, 16, 48000);
  TrackTables lpcm_planar = lpcm_v0;
  lpcm_planar.sound_version = 2;
  lpcm_planar.frames_per_packet = 1;
  lpcm_planar.lpcm_flags = 0x2C;  // non-interleaved
  lpcm_planar.bytes_per_frame = 4;
  TrackTables ipcm_bare = sound_track("ipcm", 2, 16, 48000);
  TrackTables wrong_frame = sound_track("in24", 2, 16, 48000);
  wrong_frame.bytes_per_frame = 8;  // 24 bits held in 32
  const SkipCase cases[] = {
      {"an lpcm entry of version 0", lpcm_v0, AudioSkip::PcmFormat, 0},
      {"planar lpcm", lpcm_planar, AudioSkip::PcmFormat, 0},
      {"ipcm without pcmC", ipcm_bare, AudioSkip::PcmFormat, 0},
      {"frames wider than their samples", wrong_frame, AudioSkip::PcmFormat, 0},
      {"an entry of another codec", sound_track("ac-3", 6, 16, 48000), AudioSkip::UnknownEntry, 0},
      {"mp4a without esds", sound_track("mp4a", 2, 16, 48000), AudioSkip::NoDecoderConfig, 0},
  };
  for (const SkipCase& c : cases) {
    SCOPED_TRACE(c.name);
    AudioModel a;
    SkippedAudio why;
    EXPECT_FALSE(audio_format(c.track, a, why));
    EXPECT_EQ(why.why, c.why);
    EXPECT_EQ(why.track, 2u);
    EXPECT_EQ(why.entry_type, c.track.entry_type);
  }
}

TrackTables aac_track(const Bytes& config) {
  TrackTables t = sound_track("mp4a", 2, 16, 48000);
  const Bytes esds = test::aac_esds_box(config);
  t.esds.assign(esds.begin() + 8, esds.end());  // the box body
  return t;
}

TEST(AudioFormat, TakesAacObjectTypesItCanWriteAndNamesTheOthers) {
  struct ObjectCase {
    const char* name;
    Bytes config;
    bool taken;
    int object_type;
  };
  const ObjectCase cases[] = {
      {"AAC Main", {0x09, 0x90}, true, 1},
      {"AAC LC", {0x11, 0x90}, true, 2},
      {"AAC LTP", {0x21, 0x90}, true, 4},
      // 22.05 kHz core, 44.1 kHz SBR, then the AAC LC core object type.
      {"HE-AAC", {0x2B, 0x92, 0x08, 0x00}, true, 5},
      {"HE-AAC v2", {0xEB, 0x89, 0x88, 0x00}, true, 29},
      {"ER AAC LD", {0xB9, 0x90}, false, 23},
      {"USAC, behind the escape", {0xF9, 0x46, 0x40}, false, 42},
      // HE-AAC whose core is ER AAC LD: the core is what ADTS would carry.
      {"HE-AAC over an ER AAC LD core", {0x2B, 0x92, 0x5C}, false, 23},
  };
  for (const ObjectCase& c : cases) {
    SCOPED_TRACE(c.name);
    AudioModel a;
    SkippedAudio why;
    EXPECT_EQ(audio_format(aac_track(c.config), a, why), c.taken);
    if (c.taken) {
      EXPECT_EQ(a.role, TrackRole::Aac);
      EXPECT_EQ(a.config, c.config);
    } else {
      EXPECT_EQ(why.why, AudioSkip::ObjectType);
      EXPECT_EQ(why.object_type, c.object_type);
    }
  }
}

// ---- What the model file cannot hold is refused, or left out, when learning

Learned learn_in_memory(const Bytes& file) {
  InputWindow input;
  open_memory_input(input, file);
  Learned l;
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  if (read_movie(input, tracks, box_error)) l.ok = learn_model(input, tracks, l.model, l.error);
  return l;
}

// Writes the model and reads it back: the text must load, and every field come
// back as it went out.
void expect_round_trip(const StreamModel& model) {
  std::string text;
  ModelFault fault;
  ASSERT_TRUE(format_model(model, text, fault)) << fault.record << ": " << fault.reason;
  StreamModel read;
  ModelParseError error;
  ASSERT_TRUE(parse_model(test::bytes_of(text), read, error))
      << error.line << ": " << error.reason << "\n"
      << text;
  EXPECT_EQ(read.reference, model.reference);
  EXPECT_EQ(read.reference_size, model.reference_size);
  ASSERT_EQ(read.tracks.size(), model.tracks.size());
  for (std::size_t i = 0; i < model.tracks.size(); ++i) {
    SCOPED_TRACE(model.tracks[i].id);
    EXPECT_EQ(read.tracks[i], model.tracks[i]);
  }
  EXPECT_EQ(read.video, model.video);
  EXPECT_EQ(read.audio, model.audio);
  EXPECT_EQ(read.more_audio, model.more_audio);
  EXPECT_EQ(read.movie.ftyp, model.movie.ftyp);
  EXPECT_EQ(read.movie.quicktime, model.movie.quicktime);
  EXPECT_EQ(read.movie.timescale, model.movie.timescale);
  ASSERT_EQ(read.movie.tracks.size(), model.movie.tracks.size());
  for (std::size_t i = 0; i < model.movie.tracks.size(); ++i) {
    const TrackTemplate& a = read.movie.tracks[i];
    const TrackTemplate& b = model.movie.tracks[i];
    SCOPED_TRACE(b.id);
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.handler, b.handler);
    EXPECT_EQ(a.handler_name, b.handler_name);
    EXPECT_EQ(a.sample_entry, b.sample_entry);
    EXPECT_EQ(a.tkhd, b.tkhd);
    EXPECT_EQ(a.media_header, b.media_header);
    EXPECT_EQ(a.edit_list, b.edit_list);
    EXPECT_EQ(a.timescale, b.timescale);
    EXPECT_EQ(a.language, b.language);
    EXPECT_EQ(a.sample_delta, b.sample_delta);
    EXPECT_EQ(a.constant_delta, b.constant_delta);
    EXPECT_EQ(a.composition_offsets, b.composition_offsets);
    EXPECT_EQ(a.sync_table, b.sync_table);
  }
}

// Recordings of the test builders, each learned, written and read back.
TEST(LearnModel, WritesWhatLoadsBackFieldByField) {
  Recording klv;
  for (int i = 0; i < 6; ++i) {
    klv.add(kVideo, video_sample(i));
    Bytes two = klv_sample(static_cast<std::uint16_t>(8 + 4 * i));
    append(two, klv_sample(static_cast<std::uint16_t>(40 - 4 * (i % 3))));
    klv.add(kTelemetry, two);
  }
  test::RecordingBuilder two_audio;
  for (int i = 0; i < 8; ++i) {
    two_audio.add(kVideo, video_sample(i));
    two_audio.add(kAudio, aac_frame(i));
    two_audio.add(kDescriptor, Bytes(100 + static_cast<std::size_t>(i), 0x80));
  }
  const auto two_audio_layout = [](std::uint32_t track) {
    TrackLayout l = layout_of(track);
    if (track == kDescriptor) {
      l.handler = "soun";
      l.entry = "twos";
      l.entry_fields = test::sound_entry_fields(1, 8, 8000);
    }
    return l;
  };
  const struct {
    const char* name;
    Bytes file;
  } cases[] = {
      {"a camera with descriptors and telemetry", camera_file()},
      {"KLV chains", klv.finish()},
      {"two audio tracks", two_audio.finish(two_audio_layout)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Learned l = learn_in_memory(c.file);
    ASSERT_TRUE(l.ok);
    l.model.reference = "ref.mp4";
    l.model.reference_size = static_cast<std::int64_t>(c.file.size());
    // The learning keeps the boxes a playable file copies, whole.
    InputWindow input;
    open_memory_input(input, c.file);
    MovieTemplate captured;
    BoxTreeError error;
    ASSERT_TRUE(read_movie_template(input, captured, error));
    ASSERT_EQ(l.model.movie.tracks.size(), captured.tracks.size());
    EXPECT_EQ(l.model.movie.ftyp, captured.ftyp);
    EXPECT_EQ(l.model.movie.timescale, captured.timescale);
    for (std::size_t i = 0; i < captured.tracks.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_FALSE(l.model.movie.tracks[i].sample_entry.empty());
      EXPECT_EQ(l.model.movie.tracks[i].sample_entry, captured.tracks[i].sample_entry);
      EXPECT_EQ(l.model.movie.tracks[i].tkhd, captured.tracks[i].tkhd);
    }
    expect_round_trip(l.model);
  }
}

TEST(LearnModel, LearnsEachAudioTrackOnItsOwn) {
  test::RecordingBuilder b;
  for (int i = 0; i < 8; ++i) {
    b.add(kVideo, video_sample(i));
    b.add(kAudio, aac_frame(i));
    b.add(kDescriptor, aac_frame(i + 1));
    b.add(kTelemetry, Bytes(64, 0x80));
  }
  const Bytes file = b.finish([](std::uint32_t track) {
    TrackLayout l = layout_of(track);
    if (track == kDescriptor) l = layout_of(kAudio);
    if (track == kTelemetry) {
      l.handler = "soun";
      l.entry = "sowt";
      l.entry_fields = test::sound_entry_fields(2, 16, 48000);
    }
    l.id = track;
    return l;
  });
  const Learned l = learn_in_memory(file);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.model.audio.track, kAudio);
  ASSERT_EQ(l.model.more_audio.size(), 2u);
  const AudioModel& second = l.model.more_audio[0];
  const AudioModel& pcm = l.model.more_audio[1];
  EXPECT_EQ(second.track, kDescriptor);
  EXPECT_EQ(second.role, TrackRole::Aac);
  EXPECT_EQ(pcm.track, kTelemetry);
  EXPECT_EQ(pcm.role, TrackRole::Pcm);
  EXPECT_EQ(pcm.samples, 8u);
  // Frames 0-7 in the first track, 1-8 in the second: each counts its own.
  EXPECT_EQ(l.model.audio.sizes, (Counts<std::uint32_t>{{203, 3}, {213, 3}, {223, 2}}));
  EXPECT_EQ(second.sizes, (Counts<std::uint32_t>{{203, 2}, {213, 3}, {223, 3}}));
  EXPECT_EQ(second.starts2, (Counts<std::uint16_t>{{0x2110, 4}, {0x2111, 4}}));
  EXPECT_EQ(l.model.tracks[2].role, TrackRole::Aac);
}

// Each value that once made the learning write a model the recovery refused.
TEST(LearnModel, RefusesOrLeavesOutWhatTheModelFileCannotHold) {
  test::RecordingBuilder same_id;
  same_id.add(kVideo, video_sample(0));
  same_id.add(kAudio, aac_frame(0));
  const Bytes repeated = same_id.finish([](std::uint32_t track) {
    TrackLayout l = layout_of(track);
    l.id = kVideo;
    return l;
  });
  Learned l = learn_in_memory(repeated);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::RepeatedTrackId);
  EXPECT_EQ(l.error.track, kVideo);

  test::RecordingBuilder large_config;
  large_config.add(kVideo, video_sample(0));
  large_config.add(kAudio, aac_frame(0));
  Bytes config = {0x11, 0x90};
  config.resize(kMaxAudioConfigBytes + 1, 0);
  const Bytes long_asc = large_config.finish([&](std::uint32_t track) {
    TrackLayout layout = layout_of(track);
    if (track == kAudio) layout.entry_children = test::aac_esds_box(config);
    return layout;
  });
  l = learn_in_memory(long_asc);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.model.audio.track, 0u);  // the audio is left out, not written wrong
  EXPECT_EQ(l.model.tracks[1].role, TrackRole::Other);
  expect_round_trip(l.model);

  test::RecordingBuilder large_avcc;
  large_avcc.add(kVideo, video_sample(0));
  const Bytes long_avcc = large_avcc.finish([](std::uint32_t track) {
    TrackLayout layout = layout_of(track);
    Bytes avcc = {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x02, 0x67, 0x64};
    avcc.resize(kMaxVideoConfigBytes + 1, 0);
    layout.entry_children = box("avcC", avcc);
    return layout;
  });
  l = learn_in_memory(long_avcc);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::VideoConfigTooLarge);
  EXPECT_EQ(l.error.size, kMaxVideoConfigBytes + 1);

  test::RecordingBuilder large_frame;
  large_frame.add(kVideo, video_sample(0));
  Bytes frame = aac_frame(0);
  frame.resize(kMaxAacFrameBytes + 1, 0x77);
  large_frame.add(kAudio, frame);
  l = learn_in_memory(large_frame.finish(layout_of));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.model.audio.track, 0u);
  EXPECT_EQ(l.model.tracks[1].role, TrackRole::Other);
  expect_round_trip(l.model);

  // At the limit, each loads back.
  test::RecordingBuilder at_limit;
  at_limit.add(kVideo, video_sample(0));
  frame.resize(kMaxAacFrameBytes);
  at_limit.add(kAudio, frame);
  l = learn_in_memory(at_limit.finish(layout_of));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.model.audio.track, kAudio);
  expect_round_trip(l.model);
}

// Chunk offsets that all point at one place: the tables claim each byte many
// times over. Refused at once, without walking the same bytes per sample.
TEST(LearnModel, RefusesOverlappingSamplesQuickly) {
  Bytes file = concat({box("ftyp", test::bytes_of("isom")), box("mdat", Bytes(420 * 1024, 0x47))});
  constexpr std::uint32_t kSamples = 100000;  // 400 KB of 4-byte samples, all at one offset
  TrackLayout video = layout_of(kVideo);
  video = test::one_sample_per_chunk(video, {32}, {64});
  video.durations = {{1, 1}};
  TrackLayout other = layout_of(kTelemetry);
  other.uniform_size = 4;
  other.uniform_count = kSamples;
  other.chunk_runs = {{1, 1}};
  other.chunk_offsets.assign(kSamples, 200);
  append(file, box("moov", concat({test::track_box(video), test::track_box(other)})));
  const auto start = std::chrono::steady_clock::now();
  Learned l = learn_in_memory(file);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::SamplesOverlap);
  EXPECT_EQ(l.error.track, kTelemetry);
  EXPECT_LT(seconds, 0.5);

  // Sizes that add up to more than the file are refused before any is listed.
  other.uniform_size = 64 * 1024;
  other.uniform_count = 1u << 24;
  other.chunk_runs = {{1, 1u << 24}};
  other.chunk_offsets = {200};
  Bytes claims = concat({box("ftyp", test::bytes_of("isom")), box("mdat", Bytes(1024, 0x47))});
  append(claims, box("moov", concat({test::track_box(video), test::track_box(other)})));
  l = learn_in_memory(claims);
  EXPECT_FALSE(l.ok);
  EXPECT_EQ(l.error.status, LearnStatus::SamplesOverlap);
}

// Tables of `chunks` chunks at the given offsets, `per_chunk` samples each of
// `delta` ticks at `timescale`.
TrackTables chunked_track(std::uint32_t id, std::uint32_t timescale, std::uint32_t delta,
                          std::uint32_t per_chunk, std::vector<std::uint64_t> offsets) {
  TrackTables t;
  t.id = id;
  t.timescale = timescale;
  t.chunk_offsets = std::move(offsets);
  t.sample_count = static_cast<std::uint32_t>(t.chunk_offsets.size()) * per_chunk;
  t.durations = {{t.sample_count, delta}};
  t.chunk_runs = {{1, per_chunk}};
  return t;
}

// Where a track's chunks lie in time against the video's: audio chunks of 0.064 s
// at 48 kHz, each ahead of the video chunk of 0.1 s at 90 kHz that follows it.
TEST(InterleaveLead, IsTheMedianOfEachChunkAgainstTheVideoAfterIt) {
  // Video chunks of three pictures (0.1 s) at 1000, 2000, ...; audio chunks of
  // three frames (0.064 s) in front of each.
  const TrackTables video = chunked_track(1, 90000, 3000, 3, {1000, 2000, 3000, 4000, 5000});
  struct Case {
    const char* name;
    std::vector<std::uint64_t> audio_offsets;
    bool found;
    std::int64_t lead;  // 48 kHz ticks
  };
  const Case cases[] = {
      // Audio chunk k starts at k * 0.064 s, the video after it at k * 0.1 s: the
      // leads are 0, -1728, -3456, -5184; of the middle two, the greater.
      {"in front of each video chunk", {900, 1900, 2900, 3900}, true, -1728},
      // The audio chunk before the first video chunk leads it by nothing.
      {"only before the first", {900}, true, 0},
      // A chunk behind the last video chunk has no video after it.
      {"behind all of the video", {6000, 7000}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TrackTables audio = chunked_track(2, 48000, 1024, 3, c.audio_offsets);
    std::int64_t lead = 0;
    EXPECT_EQ(interleave_lead(audio, video, lead), c.found);
    if (c.found) {
      EXPECT_EQ(lead, c.lead);
    }
  }
}

// Tables that disagree give no lead rather than a wrong one.
TEST(InterleaveLead, FindsNoneInTablesThatDisagree) {
  const TrackTables video = chunked_track(1, 90000, 3000, 3, {1000, 2000});
  TrackTables audio = chunked_track(2, 48000, 1024, 3, {900});
  audio.chunk_runs = {{2, 3}};  // a run that begins past the only chunk
  std::int64_t lead = 0;
  EXPECT_FALSE(interleave_lead(audio, video, lead));
  audio.chunk_runs = {{0, 3}};  // chunks count from 1
  EXPECT_FALSE(interleave_lead(audio, video, lead));
}

}  // namespace
}  // namespace vidsalvage
