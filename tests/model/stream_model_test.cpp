#include "model/stream_model.h"

#include <gtest/gtest.h>

#include <string>

#include "support/bytes.h"
#include "support/hevc_bytes.h"

namespace vidsalvage {
namespace {
using test::Bytes;

// A model as the learning would make it from a camera recording.
StreamModel sample_model() {
  StreamModel m;
  m.reference = "GOPR0001.MP4";
  m.reference_size = 123456;
  ModelTrack video;
  video.id = 1;
  video.handler = "vide";
  video.entry_type = "avc1";
  video.name = "GoPro AVC";
  video.role = TrackRole::Video;
  video.timescale = 90000;
  video.durations = {{59, 3003}, {1, 1500}};
  video.samples = 60;
  video.min_size = 500;
  video.max_size = 90000;
  ModelTrack audio;
  audio.id = 2;
  audio.handler = "soun";
  audio.entry_type = "mp4a";
  audio.role = TrackRole::Aac;
  audio.samples = 94;
  audio.min_size = 6;
  audio.max_size = 700;
  ModelTrack meta;
  meta.id = 3;
  meta.handler = "meta";
  meta.entry_type = "raw ";  // a space and a percent sign survive as %XX
  meta.role = TrackRole::Other;
  meta.samples = 154;
  meta.min_size = 16;
  meta.max_size = 8000;
  meta.link = {4, 4, false, 0};
  meta.link_held = 153;
  meta.link_of = 153;
  PrefixClass descriptor;
  descriptor.prefix = {'G', 'P', 1, 0};
  descriptor.samples = 60;
  descriptor.min_size = 16;
  descriptor.max_size = 16;
  descriptor.bytes = {'G', 'P', 1, 0, 0, 0, 0, 0};
  descriptor.fixed = {1, 1, 1, 1, 0, 0, 0, 0};
  descriptor.next_track = 1;
  PrefixClass telemetry;
  telemetry.prefix = {'D', 'E', 'V', 'C'};
  telemetry.samples = 2;
  telemetry.min_size = 3000;
  telemetry.max_size = 8000;
  telemetry.bytes = {'D', 'E', 'V', 'C', 0, 1};
  telemetry.fixed = {1, 1, 1, 1, 1, 1};
  telemetry.size_rule = SizeRule::Field;
  telemetry.size_field = {6, 2, false, 8};
  PrefixClass chained = telemetry;
  chained.prefix = {'D', 'E', 'V', 'D'};
  chained.bytes[3] = 'D';
  chained.size_rule = SizeRule::Klv;
  chained.size_field = {};
  chained.klv_items = 2;
  meta.classes = {descriptor, telemetry, chained};
  ModelTrack microphone;
  microphone.id = 4;
  microphone.handler = "soun";
  microphone.entry_type = "lpcm";
  microphone.role = TrackRole::Pcm;
  microphone.timescale = 48000;
  microphone.samples = 30;
  microphone.min_size = 1600;
  microphone.max_size = 1600;
  m.tracks = {video, audio, meta, microphone};
  m.video.track = 1;
  m.video.avcc = {0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0x00, 0x02,
                  0x67, 0x64, 0x01, 0x00, 0x02, 0x68, 0xEE};
  m.video.max_unit = 89996;
  m.video.max_sample = 90000;
  m.video.max_gap = 9000;
  m.video.headers.set(0x09);
  m.video.headers.set(0x65);
  m.video.heads = {0x0910, 0x6588};
  m.video.bigrams.set(9 * kNalTypes + 5);
  m.video.bigrams.set(5 * kNalTypes + 9);
  m.video.first_units = {{0x09, 0x10, 2}, {0x65, -1, 0}};
  m.audio.track = 2;
  m.audio.role = TrackRole::Aac;
  m.audio.samples = 94;
  m.audio.announced = 94;
  m.audio.config = {0x11, 0x90};
  m.audio.sizes = {{6, 1}, {371, 93}};
  m.audio.starts2 = {{0x2110, 93}, {0xDE02, 1}};
  m.audio.starts3 = {{0x211001, 93}};
  m.audio.after = {{0, 64}, {4, 30}};
  AudioModel pcm;
  pcm.track = 4;
  pcm.role = TrackRole::Pcm;
  pcm.channels = 2;
  pcm.bits = 24;
  pcm.rate = 48000;
  pcm.little_endian = false;
  pcm.bytes_per_frame = 6;
  pcm.samples = 30;
  pcm.back_to_back = 29;
  pcm.after = {{2, 30}};
  pcm.chunks = {{3072, 9}, {9600, 1}};
  m.more_audio = {pcm};
  m.movie.timescale = 1000;
  m.movie.ftyp = {0, 0, 0, 8, 'f', 't', 'y', 'p'};
  TrackTemplate t;
  t.id = 1;
  t.handler = "vide";
  t.handler_name = "GoPro AVC";
  t.sample_entry = {0, 0, 0, 8, 'a', 'v', 'c', '1'};
  t.tkhd = {0, 0, 0, 8, 't', 'k', 'h', 'd'};
  t.timescale = 90000;
  t.language = 21956;
  t.sample_delta = 3003;
  t.sync_table = true;
  TrackTemplate sound;
  sound.id = 2;
  sound.handler = "soun";
  sound.sample_entry = {0, 0, 0, 8, 'm', 'p', '4', 'a'};
  sound.timescale = 48000;
  sound.sample_delta = 1024;
  sound.constant_delta = true;
  sound.has_lead = true;
  sound.lead = -3264;
  m.movie.tracks = {t, sound};
  return m;
}

// The file text, written out by hand: what a reader of the model sees.
constexpr const char* kSampleText =
    "vidsalvage-model 2\n"
    "reference 123456 GOPR0001.MP4\n"
    "track 1 vide avc1 video timescale 90000 samples 60 sizes 500 90000 name GoPro AVC\n"
    "durations 1 59x3003 1x1500\n"
    "track 2 soun mp4a aac timescale 0 samples 94 sizes 6 700 name\n"
    "track 3 meta raw%20 other timescale 0 samples 154 sizes 16 8000 name\n"
    "link 3 4 4 be 0 held 153 of 153\n"
    "class 3 47500100 samples 60 sizes 16 16 next 1 bytes 47500100........ size none\n"
    "class 3 44455643 samples 2 sizes 3000 8000 next 0 bytes 444556430001 size field 6 2 be 8\n"
    "class 3 44455644 samples 2 sizes 3000 8000 next 0 bytes 444556440001 size klv 2\n"
    "track 4 soun lpcm pcm timescale 48000 samples 30 sizes 1600 1600 name\n"
    "video 1 codec avc nal-length 4 max-unit 89996 max-sample 90000 max-gap 9000\n"
    "video-config 01640028ffe100026764010002"
    "68ee\n"
    "nal-headers 09 65\n"
    "heads 0910 6588\n"
    "bigrams 5-9 9-5\n"
    "first-units 09:10:2 65:..:0\n"
    "aac 2 config 1190 samples 94 back-to-back 0 announced 94\n"
    "aac-sizes 2 6:1 371:93\n"
    "aac-starts 2 2110:93 de02:1\n"
    "aac-starts3 2 211001:93\n"
    "audio-after 2 0:64 4:30\n"
    "pcm 4 channels 2 bits 24 rate 48000 be int signed frame 6 samples 30 back-to-back 29 "
    "announced 0\n"
    "audio-chunks 4 3072:9 9600:1\n"
    "audio-after 4 2:30\n"
    "movie timescale 1000 quicktime 0 ftyp 0000000866747970\n"
    "movie-track 1 vide timescale 90000 language 21956 delta 3003 constant 0 ctts 0 stss 1 "
    "entry 0000000861766331 tkhd 00000008746b6864 media-header - edit-list - name GoPro AVC\n"
    "movie-track 2 soun timescale 48000 language 0 delta 1024 constant 1 ctts 0 stss 0 "
    "entry 000000086d703461 tkhd - media-header - edit-list - name\n"
    "movie-lead 2 -3264\n"
    "end\n";

std::string expected_text() { return kSampleText; }

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string text_of(const StreamModel& model) {
  std::string text;
  ModelFault fault;
  EXPECT_TRUE(format_model(model, text, fault)) << fault.record << ": " << fault.reason;
  return text;
}

TEST(StreamModel, WritesOneReadableRecordPerLine) {
  EXPECT_EQ(text_of(sample_model()), expected_text());
}

TEST(StreamModel, ReadsBackWhatItWrote) {
  const std::string text = text_of(sample_model());
  StreamModel read;
  ModelParseError error;
  ASSERT_TRUE(parse_model(bytes_of(text), read, error)) << error.line << ": " << error.reason;
  EXPECT_EQ(text_of(read), text);
  EXPECT_EQ(read.tracks[2].entry_type, "raw ");
  EXPECT_EQ(read.tracks[2].classes[1].size_field.adjust, 8);
  EXPECT_EQ(read.video.first_units[1].second, -1);
  EXPECT_TRUE(read.video.bigrams.test(9 * kNalTypes + 5));
  // Windows line ends and a reader's notes change nothing.
  std::string noted = text;
  noted.insert(noted.find("track 2"), "# the audio\n\n");
  std::string crlf;
  for (char c : noted) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_TRUE(parse_model(bytes_of(crlf), read, error)) << error.line << ": " << error.reason;
  EXPECT_EQ(text_of(read), text);
}

struct BadCase {
  const char* name;
  std::string from;  // replaced in the sample text ...
  std::string to;    // ... by this
  ModelParseStatus status;
  int line;
};

TEST(StreamModel, NamesTheLineItCannotRead) {
  const BadCase cases[] = {
      {"another file", "vidsalvage-model 2", "ftyp", ModelParseStatus::NotAModel, 1},
      {"the version before", "vidsalvage-model 2", "vidsalvage-model 1",
       ModelParseStatus::OtherVersion, 1},
      {"an unknown record", "nal-headers", "nal-kinds", ModelParseStatus::Invalid, 14},
      {"a number beyond 32 bits", "timescale 90000 samples", "timescale 4294967296 samples",
       ModelParseStatus::Invalid, 3},
      {"a negative count", "samples 60 sizes 500", "samples -60 sizes 500",
       ModelParseStatus::Invalid, 3},
      {"a repeated track", "track 2 soun", "track 1 soun", ModelParseStatus::Invalid, 5},
      {"a track number 0", "track 2 soun", "track 0 soun", ModelParseStatus::Invalid, 5},
      {"a link of an unknown track", "link 3", "link 9", ModelParseStatus::Invalid, 7},
      {"a link wider than four bytes", "link 3 4 4", "link 3 4 8", ModelParseStatus::Invalid, 7},
      {"a link beyond the class bytes", "link 3 4 4", "link 3 29 4", ModelParseStatus::Invalid, 7},
      {"held more often than seen", "held 153", "held 154", ModelParseStatus::Invalid, 7},
      {"class bytes longer than its samples", "sizes 16 16 next 1", "sizes 6 16 next 1",
       ModelParseStatus::Invalid, 8},
      {"an odd number of hex digits", "47500100........", "47500100.......",
       ModelParseStatus::Invalid, 8},
      {"a repeated class", "44455644 samples", "44455643 samples", ModelParseStatus::Invalid, 10},
      {"a chain of no items", "klv 2", "klv 0", ModelParseStatus::Invalid, 10},
      {"a video record of an audio track", "video 1", "video 2", ModelParseStatus::Invalid, 12},
      {"an unknown codec", "codec avc", "codec vp9", ModelParseStatus::Invalid, 12},
      {"three-byte NAL lengths", "nal-length 4", "nal-length 3", ModelParseStatus::Invalid, 12},
      {"a bigram of type 64", "5-9", "5-64", ModelParseStatus::Invalid, 16},
      {"an avcC said to be an hvcC", "codec avc", "codec hevc", ModelParseStatus::Invalid, 13},
      {"heads out of order", "0910 6588", "6588 0910", ModelParseStatus::Invalid, 15},
      {"a first unit without its length", "09:10:2", "09:10:", ModelParseStatus::Invalid, 17},
      {"a one-byte AudioSpecificConfig", "config 1190", "config 11", ModelParseStatus::Invalid, 18},
      {"a count without its colon", "371:93", "37193", ModelParseStatus::Invalid, 19},
      {"a frame larger than AAC has", "371:93", "1048577:93", ModelParseStatus::Invalid, 19},
      {"frame starts out of order", "2110:93 de02:1", "de02:1 2110:93", ModelParseStatus::Invalid,
       20},
      {"frame sizes of a PCM track", "aac-sizes 2", "aac-sizes 4", ModelParseStatus::Invalid, 19},
      {"an audio record of the video", "aac 2", "aac 1", ModelParseStatus::Invalid, 18},
      {"two records of one audio track", "pcm 4", "pcm 2", ModelParseStatus::Invalid, 23},
      {"PCM of 20 bits", "bits 24", "bits 20", ModelParseStatus::Invalid, 23},
      {"PCM frames of another size", "frame 6", "frame 8", ModelParseStatus::Invalid, 23},
      {"unsigned 24-bit PCM", "int signed", "int unsigned", ModelParseStatus::Invalid, 23},
      {"65 channels", "channels 2", "channels 65", ModelParseStatus::Invalid, 23},
      {"a sample entry of odd length", "entry 0000000861766331", "entry 000000086176633",
       ModelParseStatus::Invalid, 27},
      {"a movie track without the movie", "movie timescale", "#ovie timescale",
       ModelParseStatus::Invalid, 27},
      {"a record after the end", "end\n", "end\nend\n", ModelParseStatus::Invalid, 31},
      {"no end record", "end\n", "", ModelParseStatus::Invalid, 29},
      {"a lead of no movie track", "movie-lead 2", "movie-lead 9", ModelParseStatus::Invalid, 29},
      {"a lead beyond its limit", "-3264", "-1099511627777", ModelParseStatus::Invalid, 29},
      {"a repeated lead", "-3264\n", "-3264\nmovie-lead 2 0\n", ModelParseStatus::Invalid, 30},
      {"chunks of an AAC track", "audio-chunks 4", "audio-chunks 2", ModelParseStatus::Invalid, 24},
      {"a chunk over 16 MiB", "9600:1", "16777217:1", ModelParseStatus::Invalid, 24},
      {"the order of a track without audio", "audio-after 4", "audio-after 3",
       ModelParseStatus::Invalid, 25},
      {"no video record", "video 1 codec", "#ideo 1 codec", ModelParseStatus::Invalid, 13},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = expected_text();
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, c.from.size(), c.to);
    StreamModel model;
    ModelParseError error;
    EXPECT_FALSE(parse_model(bytes_of(text), model, error));
    EXPECT_EQ(error.status, c.status);
    EXPECT_EQ(error.line, c.line) << error.reason;
  }
}

struct UnwritableCase {
  const char* name;
  void (*change)(StreamModel&);
  const char* record;  // the record the writer names; "model" for checks across records
};

// The writer holds each field to the limit the reader holds it to, and refuses
// the model rather than write a file that would not load.
TEST(StreamModel, RefusesToWriteWhatItCouldNotRead) {
  const UnwritableCase cases[] = {
      {"an AudioSpecificConfig over 64 bytes",
       [](StreamModel& m) { m.audio.config.resize(kMaxAudioConfigBytes + 1); }, "aac"},
      {"a video configuration over 65535 bytes",
       [](StreamModel& m) { m.video.avcc.resize(kMaxVideoConfigBytes + 1); }, "video-config"},
      {"an hvcC with other unit lengths than the video record's",
       [](StreamModel& m) {
         m.video.codec = VideoCodec::Hevc;
         m.video.avcc = test::kHevcRecord;
         m.video.nal_length_size = 2;
       },
       "video-config"},
      {"an AAC frame size over 2^20",
       [](StreamModel& m) { m.audio.sizes.back().first = kMaxAacFrameBytes + 1; }, "aac-sizes"},
      {"two tracks of one id", [](StreamModel& m) { m.tracks[2].id = 1; }, "model"},
      {"a line end in a name", [](StreamModel& m) { m.tracks[0].name = "Cam\nera"; }, "track"},
      {"a handler of three characters", [](StreamModel& m) { m.tracks[0].handler = "vid"; },
       "track"},
      {"PCM of 20 bits", [](StreamModel& m) { m.more_audio[0].bits = 20; }, "pcm"},
      {"a sample entry over 64 KiB",
       [](StreamModel& m) { m.movie.tracks[0].sample_entry.resize(kMaxSampleEntryBytes + 1); },
       "movie-track"},
      {"a lead beyond its limit",
       [](StreamModel& m) { m.movie.tracks[1].lead = kMaxLeadTicks + 1; }, "movie-lead"},
      {"frame sizes out of order",
       [](StreamModel& m) { std::swap(m.audio.sizes[0], m.audio.sizes[1]); }, "model"},
  };
  for (const UnwritableCase& c : cases) {
    SCOPED_TRACE(c.name);
    StreamModel model = sample_model();
    c.change(model);
    std::string text = "left over";
    ModelFault fault;
    EXPECT_FALSE(format_model(model, text, fault));
    EXPECT_EQ(std::string(fault.record), c.record) << fault.reason;
    EXPECT_TRUE(text.empty());
  }
}

TEST(StreamModel, NamesTheVersionOfAnotherModel) {
  for (const char* version : {"1", "3"}) {
    SCOPED_TRACE(version);
    StreamModel model;
    ModelParseError error;
    EXPECT_FALSE(
        parse_model(bytes_of(std::string("vidsalvage-model ") + version + "\n"), model, error));
    EXPECT_EQ(error.status, ModelParseStatus::OtherVersion);
    EXPECT_EQ(error.version, std::stoi(version));
  }
}

// Any byte string is read or refused without a crash, and no prefix of a model
// passes for a whole one: the 'end' record is what proves it complete.
TEST(StreamModel, RefusesEveryTruncationAndSurvivesMutation) {
  const std::string text = expected_text();
  for (std::size_t n = 0; n + 1 < text.size(); ++n) {
    const Bytes prefix(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    StreamModel model;
    ModelParseError error;
    EXPECT_FALSE(parse_model(prefix, model, error)) << n;
  }
  const Bytes noise = test::pseudo_random_bytes(4096, 7);
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) {
      Bytes mutated = bytes_of(text);
      mutated[i] = noise[(i * 3 + k) % noise.size()];
      StreamModel model;
      ModelParseError error;
      (void)parse_model(mutated, model, error);
    }
  }
  StreamModel model;
  ModelParseError error;
  EXPECT_FALSE(parse_model(noise, model, error));
  EXPECT_EQ(error.status, ModelParseStatus::NotAModel);
}

}  // namespace
}  // namespace vidsalvage
