// The model inferred from a damaged recording alone, end to end: x264 and AAC
// recordings made by ffmpeg lose their moov and their last bytes, `--infer`
// writes reference.model, `--model` writes a playable file, and its pictures
// decode to the intact recording's, frame for frame (framemd5), without a
// decoder message. The parser of slice data measures the sizes the slice headers
// cannot tell; a judge that knows the answer, run in process, stands in for it
// where a test must not depend on it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "codec/slice_header.h"
#include "io/input_window.h"
#include "model/stream_inference.h"
#include "model/stream_model.h"
#include "support/cli.h"
#include "support/environment.h"
#include "support/media.h"
#include "support/temp_dir.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

const std::string kAudio =
    " -f lavfi -i anoisesrc=color=pink:amplitude=0.2:sample_rate=48000:seed=3 -t 3 -c:a aac -ac 2 ";

struct Hashes {
  std::vector<std::string> frames;
  std::string messages;  // what the decoder said besides
};

Hashes decode(const TempDir& dir, const std::string& file) {
  Hashes h;
  const std::string text = run_and_capture(dir, "ffmpeg -nostdin -v warning -noautorotate -i '" +
                                                    file + "' -map 0:v:0 -f framemd5 - 2>&1");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t last = line.rfind(',');
    if (line.find(',') == 1 || (line.size() > 2 && line[0] == '0' && line[1] == ',')) {
      h.frames.push_back(line.substr(last + 2));
    } else {
      h.messages += line + "\n";
    }
  }
  return h;
}

// The pictures of `expected` found in `got` in order.
std::size_t in_order(const std::vector<std::string>& expected,
                     const std::vector<std::string>& got) {
  std::size_t j = 0;
  std::size_t found = 0;
  for (const std::string& e : expected) {
    for (std::size_t k = j; k < got.size(); ++k) {
      if (got[k] == e) {
        ++found;
        j = k + 1;
        break;
      }
    }
  }
  return found;
}

// The file without its top-level moov box, wherever it lies: a recording with
// the moov reserved in front of its media data has lost only that box.
Bytes without_moov(const Bytes& intact) {
  Bytes out;
  for (std::int64_t at = 0; at + 8 <= static_cast<std::int64_t>(intact.size());) {
    std::int64_t size = static_cast<std::int64_t>(read_be(intact, at, 4));
    if (size == 1) size = static_cast<std::int64_t>(read_be(intact, at + 8, 8));
    if (size < 8 || at + size > static_cast<std::int64_t>(intact.size())) {
      size = static_cast<std::int64_t>(intact.size()) - at;
    }
    if (std::string(intact.begin() + at + 4, intact.begin() + at + 8) != "moov") {
      out.insert(out.end(), intact.begin() + at, intact.begin() + at + size);
    }
    at += size;
  }
  return out;
}

// The recording as a camera that died leaves it: no moov, the last sample cut.
Bytes damaged(const Bytes& intact) {
  Bytes cut = cut_moov(intact);
  cut.resize(cut.size() - 700);
  return cut;
}

// A judge that knows the intact recording's sets: clean exactly under its size,
// initial QP (under CABAC), transform flag and default reference count.
SliceJudge knowing_judge(const AvcParameterSets& truth) {
  return [truth](std::span<const std::uint8_t>, const AvcParameterSets& sets) {
    const SpsInfo& t = *truth.sps[0];
    const PpsInfo& tp = *truth.pps[0];
    const SpsInfo& s = *sets.sps[0];
    const PpsInfo& p = *sets.pps[tp.pic_parameter_set_id];
    const bool right =
        s.pic_width_in_mbs == t.pic_width_in_mbs &&
        s.pic_height_in_map_units == t.pic_height_in_map_units &&
        (!tp.entropy_coding_mode_flag || p.pic_init_qp_minus26 == tp.pic_init_qp_minus26) &&
        p.transform_8x8_mode_flag == tp.transform_8x8_mode_flag &&
        p.num_ref_idx_l0_default_active_minus1 == tp.num_ref_idx_l0_default_active_minus1;
    SliceVerdict v;
    v.end = right ? SliceEnd::Clean : SliceEnd::Invalid;
    v.reaches_picture_end = right;
    return v;
  };
}

// Infers in process with the knowing judge and writes reference.model.
bool infer_with_judge(const TempDir& dir, const Bytes& intact, const Bytes& input,
                      InferenceReport& report) {
  AvcParameterSets truth;
  const std::optional<Bytes> avcc = box_body(intact, "avcC");
  if (!avcc || !read_config_parameter_sets(*avcc, truth)) return false;
  InputWindow window;
  open_memory_input(window, input);
  StreamModel model;
  InferStatus status = InferStatus::Ok;
  const bool ok = infer_model(window, knowing_judge(truth), model, report, status);
  release_input(window);
  std::string text;
  ModelFault fault;
  if (!ok || !format_model(model, text, fault)) return false;
  dir.write(kModelFileName, Bytes(text.begin(), text.end()));
  return true;
}

struct Recording {
  const char* name;
  std::string ffmpeg;
  bool judge;        // the size is not the one guessed without a parser of slice data
  bool one_command;  // `DAMAGED out.mp4 --infer` in place of the two steps
};

const Recording kRecordings[] = {
    {"1080p CABAC, B-frames",
     "-f lavfi -i testsrc2=size=1920x1080:rate=30" + kAudio + "-c:v libx264 -preset veryfast -g 30",
     false, false},
    {"1080p CAVLC, one command",
     "-f lavfi -i testsrc2=size=1920x1080:rate=30" + kAudio +
         "-c:v libx264 -preset veryfast -g 30 -x264-params cabac=0",
     false, true},
    {"1080p Baseline, order type 2",
     "-f lavfi -i testsrc2=size=1920x1080:rate=30" + kAudio +
         "-c:v libx264 -preset veryfast -profile:v baseline",
     false, false},
    // Without the settings text the implicit B weights (weighted_bipred_idc 2)
    // read as none: cameras that use B-frames at all seldom weight them.
    {"720p CABAC without the settings text",
     "-f lavfi -i testsrc2=size=1280x720:rate=25" + kAudio +
         "-c:v libx264 -preset veryfast -bf 2 -x264-params weightb=0 "
         "-bsf:v filter_units=remove_types=6",
     true, false},
    // PCM, which the inference leaves to a reference: its chunks between the
    // pictures are stepped over, not taken for damage.
    {"720p with PCM audio in QuickTime, one command",
     "-f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i sine=f=440:sample_rate=48000 -t 3 "
     "-c:v libx264 -preset veryfast -c:a pcm_s16le -ac 2 -f mov",
     false, true},
};

TEST(InferenceE2e, PlayableFileDecodesToTheIntactPictures) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  for (const Recording& r : kRecordings) {
    SCOPED_TRACE(r.name);
    TempDir dir;
    ASSERT_TRUE(run_ffmpeg(dir, r.ffmpeg + " intact.mp4"));
    const Bytes intact = dir.read("intact.mp4");
    dir.write("damaged.mp4", damaged(intact));
    if (r.judge) {
      InferenceReport report;
      ASSERT_TRUE(infer_with_judge(dir, intact, dir.read("damaged.mp4"), report));
      EXPECT_TRUE(report.size_measured);
      EXPECT_LT(report.seconds, 2.0);
    } else if (!r.one_command) {
      const CliResult learned = run_cli(dir, {"damaged.mp4", "--infer"});
      ASSERT_EQ(learned.status, 0) << learned.output;
      EXPECT_NE(learned.output.find("\nVideo: 1920x1080, "), std::string::npos);
    }
    const CliResult recovered = r.one_command ? run_cli(dir, {"damaged.mp4", "out.mp4", "--infer"})
                                              : run_cli(dir, {"damaged.mp4", "out.mp4", "--model"});
    ASSERT_EQ(recovered.status, 0) << recovered.output;
    const Hashes want = decode(dir, "intact.mp4");
    const Hashes got = decode(dir, "out.mp4");
    // The cut takes the last picture, and the walk leaves the one before it when
    // the two lie back to back (as it does with the intact recording's model).
    EXPECT_GE(got.frames.size() + 2, want.frames.size());
    EXPECT_GE(in_order(want.frames, got.frames) + 2, want.frames.size());
    EXPECT_EQ(got.messages, "");
    if (r.judge) continue;
    const std::string model = run_and_capture(dir, "grep '^# guessed' reference.model");
    EXPECT_NE(model.find("# guessed scaling matrices flat"), std::string::npos);
  }
}

const char kRecordingsDir[] = "/work/shared/recordings/";

// Real devices' recordings: the fields the slice headers show come out as the
// device wrote them, and with the size, initial QP and 8x8 flag measured by the
// parser of slice data the pictures come back as the intact recording's.
TEST(InferenceE2e, RealRecordingsReadAsTheirDevicesWroteThem) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  struct Device {
    const char* name;
    std::size_t identical;  // pictures at least
  };
  // The Android phone codes CAVLC, whose initial QP the key picture rebuilt
  // measures.
  const Device devices[] = {{"gopro-hero7.mp4", 352},
                            {"samsung-android12-4k60.mp4", 18},
                            {"android601-moovfront.mp4", 23}};
  for (const Device& device : devices) {
    const char* name = device.name;
    SCOPED_TRACE(name);
    std::FILE* f = std::fopen((std::string(kRecordingsDir) + name).c_str(), "rb");
    if (f == nullptr) {
      std::printf("%s: not present, skipped\n", name);
      continue;
    }
    Bytes intact;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f))
      intact.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    TempDir dir;
    dir.write("intact.mp4", intact);
    dir.write("damaged.mp4", without_moov(intact));
    InferenceReport report;
    ASSERT_TRUE(infer_with_judge(dir, intact, dir.read("damaged.mp4"), report));
    AvcParameterSets truth;
    ASSERT_TRUE(read_config_parameter_sets(*box_body(intact, "avcC"), truth));
    const SpsInfo& s = *truth.sps[0];
    const PpsInfo& p = *truth.pps[0];
    EXPECT_EQ(report.sps.log2_max_frame_num, s.log2_max_frame_num);
    EXPECT_EQ(report.sps.pic_order_cnt_type, s.pic_order_cnt_type);
    EXPECT_EQ(report.sps.log2_max_pic_order_cnt_lsb, s.log2_max_pic_order_cnt_lsb);
    EXPECT_EQ(report.pps.entropy_coding_mode_flag, p.entropy_coding_mode_flag);
    EXPECT_EQ(report.pps.weighted_pred_flag, p.weighted_pred_flag);
    EXPECT_EQ(report.pps.deblocking_filter_control_present_flag,
              p.deblocking_filter_control_present_flag);
    EXPECT_LT(report.seconds, 2.0);
    // The pictures with the parser of slice data as the judge, in one command.
    const CliResult recovered = run_cli(dir, {"damaged.mp4", "out.mp4", "--infer"});
    EXPECT_EQ(recovered.output.find("Guessed: picture size"), std::string::npos);
    ASSERT_EQ(recovered.status, 0) << recovered.output;
    const Hashes want = decode(dir, "intact.mp4");
    const Hashes got = decode(dir, "out.mp4");
    const std::size_t same = in_order(want.frames, got.frames);
    EXPECT_GE(same, device.identical);
    EXPECT_EQ(got.messages, "");
    std::printf(
        "%s: %zu of %zu pictures identical, %zu decoder message line(s), %.3f s\n", name, same,
        want.frames.size(),
        static_cast<std::size_t>(std::count(got.messages.begin(), got.messages.end(), '\n')),
        report.seconds);
  }
}

// CAVLC at a constant QP, where x264 writes pic_init_qp as that QP: the key
// picture rebuilt measures it, in one command with the parser as the judge, and
// the pictures come back as the intact recording's. The pictures are a real
// camera's: the measure looks for a natural picture.
TEST(InferenceE2e, ConstantQpCavlcMeasuresItsInitialQp) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  const std::string source = std::string(kRecordingsDir) + "gopro-hero7.mp4";
  std::FILE* f = std::fopen(source.c_str(), "rb");
  if (f == nullptr) GTEST_SKIP() << source << " not present";
  std::fclose(f);
  for (const int qp : {20, 34}) {
    SCOPED_TRACE(qp);
    TempDir dir;
    const std::string video =
        "-map 0:v:0 -map 1:a:0 -map_metadata -1 -write_tmcd 0 -t 2 "
        "-vf scale=640:360 -c:v libx264 -preset veryfast -qp " +
        std::to_string(qp) + " -x264-params cabac=0 -bsf:v filter_units=remove_types=6 ";
    ASSERT_TRUE(run_ffmpeg(dir, "-i '" + source + "'" + kAudio + video + "intact.mp4"));
    const Bytes intact = dir.read("intact.mp4");
    dir.write("damaged.mp4", damaged(intact));
    const CliResult recovered = run_cli(dir, {"damaged.mp4", "out.mp4", "--infer"});
    ASSERT_EQ(recovered.status, 0) << recovered.output;
    EXPECT_NE(recovered.output.find("\nMeasured: pic_init_qp " + std::to_string(qp) + " ("),
              std::string::npos)
        << recovered.output;
    EXPECT_EQ(recovered.output.find("Guessed: pic_init_qp"), std::string::npos);
    const Hashes want = decode(dir, "intact.mp4");
    const Hashes got = decode(dir, "out.mp4");
    EXPECT_GE(in_order(want.frames, got.frames) + 2, want.frames.size());
    EXPECT_EQ(got.messages, "");
  }
}

}  // namespace
}  // namespace vidsalvage::test
