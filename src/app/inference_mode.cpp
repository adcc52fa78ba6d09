// The --infer mode: a model inferred from the damaged recording alone, for users
// without an intact recording of the same device. It writes reference.model as
// --model does, with every field it had to guess named on screen and in the file.

#include <cstdio>
#include <string>

#include "app/driver.h"
#include "codec/slice_data.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "io/text.h"
#include "model/stream_inference.h"
#include "model/stream_model.h"

namespace vidsalvage {
namespace {

constexpr const char* kInferKeyword = "--infer";

SliceEnd slice_end(SliceDataEnd end) {
  switch (end) {
    case SliceDataEnd::Clean:
      return SliceEnd::Clean;
    case SliceDataEnd::Overran:
      return SliceEnd::Overran;
    case SliceDataEnd::Unsupported:
      return SliceEnd::Unsupported;
    case SliceDataEnd::Invalid:
      break;
  }
  return SliceEnd::Invalid;
}

// The parser of slice data, which measures the picture size and the fields only
// the slice data shows.
SliceJudge slice_data_judge() {
  return [](std::span<const std::uint8_t> unit, const AvcParameterSets& sets) {
    const SliceDataResult r = parse_slice_data(unit, sets);
    return SliceVerdict{slice_end(r.end), r.first_mb, r.macroblocks, r.reaches_picture_end};
  };
}

const char* profile_name(std::uint32_t profile_idc) {
  switch (profile_idc) {
    case 66:
      return "Baseline";
    case 77:
      return "Main";
    case 100:
      return "High";
    default:
      return "Other";
  }
}

void print_failure(InferStatus status, const char* input_name) {
  switch (status) {
    case InferStatus::Hevc:
      std::printf(
          "HEVC video without the encoder's settings cannot be inferred yet: its picture size "
          "and coding block sizes need a reference (vidsalvage '%s' out.mp4 --reference "
          "INTACT.MP4)\n",
          input_name);
      break;
    case InferStatus::HevcSpsRefSets:
      std::printf(
          "HEVC video whose slices take their reference picture sets from the lost SPS cannot "
          "be inferred yet: it needs a reference (vidsalvage '%s' out.mp4 --reference "
          "INTACT.MP4)\n",
          input_name);
      break;
    case InferStatus::HevcUnsupported:
      std::printf(
          "HEVC video other than progressive 8- or 10-bit 4:2:0 cannot be inferred yet: it "
          "needs a reference (vidsalvage '%s' out.mp4 --reference INTACT.MP4)\n",
          input_name);
      break;
    case InferStatus::HevcUnread:
      std::printf(
          "No slice segment of '%s' reads as HEVC under the encoder's settings: it needs a "
          "reference (vidsalvage '%s' out.mp4 --reference INTACT.MP4)\n",
          input_name, input_name);
      break;
    case InferStatus::NoVideo:
      std::printf("No H.264 samples found in '%s'\n", input_name);
      break;
    case InferStatus::NoPictures:
      std::printf("No slice of '%s' reads as H.264 under any parameter set tried\n", input_name);
      break;
    case InferStatus::LearnFailed:
      std::printf("The samples found in '%s' do not make a model\n", input_name);
      break;
    case InferStatus::ReadFailed:
    case InferStatus::Ok:
      std::printf("Cannot read '%s'\n", input_name);
      break;
  }
}

void print_audio_and_guesses(const InferenceReport& r);

void print_hints(const EncoderHints& h) {
  if (!h.found) return;
  std::printf("The encoder's settings text names:%s%s%s%s%s%s\n", h.cabac ? " cabac" : "",
              h.transform_8x8 ? " 8x8dct" : "", h.weightp ? " weightp" : "",
              h.weightb ? " weightb" : "", h.ref ? " ref" : "",
              h.chroma_qp_offset ? " chroma_qp_offset" : "");
}

// H.265 A.3: the profiles by general_profile_idc.
const char* hevc_profile_name(std::uint32_t profile_idc) {
  switch (profile_idc) {
    case 1:
      return "Main";
    case 2:
      return "Main 10";
    case 3:
      return "Main Still Picture";
    case 4:
      return "Range extensions";
    default:
      return "Other";
  }
}

void print_hevc_report(const InferenceReport& r) {
  const HevcInference& h = r.hevc;
  const HevcSpsFields& s = h.sps;
  const HevcPpsFields& p = h.pps;
  std::printf("Video: H.265, %u-byte NAL lengths, %llu samples found in %lld bytes read\n",
              r.nal_length_size, static_cast<unsigned long long>(r.chains),
              static_cast<long long>(r.bytes_read));
  if (h.carried) {
    std::printf("Video: %ux%u, %s profile, %u-bit, CTB %u, %s\n", h.width, h.height,
                hevc_profile_name(s.profile.general_profile_idc), s.bit_depth_luma,
                1u << s.ctb_log2_size, h.b_slices ? "B-frames" : "no B-frames");
    std::printf(
        "The samples carry their own VPS, SPS and PPS: the model keeps them as they are (%llu of "
        "%llu pictures read under them)\n",
        static_cast<unsigned long long>(h.pictures_read),
        static_cast<unsigned long long>(h.pictures));
    return;
  }
  std::printf("Video: %ux%u, %s profile, %u-bit, CTB %u, CB %u to %u, TB %u to %u, %s\n", h.width,
              h.height, hevc_profile_name(s.profile.general_profile_idc), s.bit_depth_luma,
              1u << s.ctb_log2_size, 1u << s.log2_min_luma_coding_block_size, 1u << s.ctb_log2_size,
              1u << s.log2_min_luma_transform_block_size,
              1u << s.log2_max_luma_transform_block_size, h.b_slices ? "B-frames" : "no B-frames");
  std::printf("The encoder's settings text gives the picture size and the coding block sizes\n");
  std::printf(
      "SPS: log2_max_pic_order_cnt_lsb %u, sample_adaptive_offset_enabled_flag %d, "
      "sps_temporal_mvp_enabled_flag %d, long_term_ref_pics_present_flag %d, "
      "sps_max_num_reorder_pics %u (from %llu of %llu slice segment headers)\n",
      s.log2_max_pic_order_cnt_lsb, s.sample_adaptive_offset_enabled_flag ? 1 : 0,
      s.sps_temporal_mvp_enabled_flag ? 1 : 0, s.long_term_ref_pics_present_flag ? 1 : 0,
      s.profile.max_num_reorder_pics, static_cast<unsigned long long>(h.pictures_read),
      static_cast<unsigned long long>(h.pictures));
  std::printf(
      "PPS: weighted_pred_flag %d, weighted_bipred_flag %d, num_ref_idx_default %u/%u, "
      "entropy_coding_sync_enabled_flag %d, deblocking_filter_override_enabled_flag %d\n",
      p.weighted_pred_flag ? 1 : 0, p.weighted_bipred_flag ? 1 : 0,
      p.num_ref_idx_l0_default_active_minus1 + 1, p.num_ref_idx_l1_default_active_minus1 + 1,
      p.entropy_coding_sync_enabled_flag ? 1 : 0,
      p.deblocking_filter_override_enabled_flag ? 1 : 0);
}

void print_report(const InferenceReport& r) {
  if (r.codec == VideoCodec::Hevc) {
    print_hevc_report(r);
    print_audio_and_guesses(r);
    return;
  }
  std::printf("Video: H.264, %u-byte NAL lengths, %llu samples found in %lld bytes read\n",
              r.nal_length_size, static_cast<unsigned long long>(r.chains),
              static_cast<long long>(r.bytes_read));
  std::printf("Video: %ux%u%s, %s profile (%u), %s, %s\n", r.width, r.height,
              r.size_measured ? "" : " (guessed)", profile_name(r.profile_idc), r.profile_idc,
              r.cabac ? "CABAC" : "CAVLC", r.b_slices ? "B-frames" : "no B-frames");
  std::printf(
      "SPS: log2_max_frame_num %u, pic_order_cnt_type %u, log2_max_pic_order_cnt_lsb %u, "
      "frame_mbs_only_flag %d (from %llu slice headers)\n",
      r.sps.log2_max_frame_num, r.sps.pic_order_cnt_type, r.sps.log2_max_pic_order_cnt_lsb,
      r.sps.frame_mbs_only_flag ? 1 : 0, static_cast<unsigned long long>(r.pictures_read));
  std::printf(
      "PPS: weighted_pred_flag %d, weighted_bipred_idc %u, num_ref_idx_default %u/%u, "
      "deblocking_filter_control_present_flag %d, transform_8x8_mode_flag %d\n",
      r.pps.weighted_pred_flag ? 1 : 0, r.pps.weighted_bipred_idc,
      r.pps.num_ref_idx_l0_default_active_minus1 + 1,
      r.pps.num_ref_idx_l1_default_active_minus1 + 1,
      r.pps.deblocking_filter_control_present_flag ? 1 : 0, r.pps.transform_8x8_mode_flag ? 1 : 0);
  print_hints(r.hints);
  print_audio_and_guesses(r);
}

void print_audio_and_guesses(const InferenceReport& r) {
  const RatePick& rates = r.rates;
  switch (r.audio) {
    case AudioFinding::Aac:
      std::printf("Audio: AAC LC, %u channel(s), %u Hz\n", r.channels, rates.sampling_rate);
      break;
    case AudioFinding::NeedsReference:
      std::printf(
          "Audio: the bytes between the video samples are not AAC this mode knows; the "
          "audio needs a reference\n");
      break;
    case AudioFinding::None:
      std::printf("Audio: none\n");
      break;
  }
  std::printf("Frame rate: %.3f fps\n", static_cast<double>(rates.fps_numerator) /
                                            static_cast<double>(rates.fps_denominator));
  for (const Guess& m : r.measures) {
    std::printf("Measured: %s %s (%s)\n", m.field.c_str(), m.value.c_str(), m.why.c_str());
  }
  for (const Guess& g : r.guesses) {
    std::printf("Guessed: %s %s (%s)\n", g.field.c_str(), g.value.c_str(), g.why.c_str());
  }
  std::printf("Inferred in %.2f s\n", r.seconds);
}

// The model's text with the guesses as comment lines after its first line.
bool model_text(const StreamModel& model, const InferenceReport& report, const char* input_name,
                std::string& text) {
  ModelFault fault;
  if (!format_model(model, text, fault)) {
    std::printf("Cannot write a model of '%s': its '%s' record has %s\n", input_name, fault.record,
                fault.reason);
    return false;
  }
  const std::size_t first_line = text.find('\n') + 1;
  text.insert(first_line, "# inferred from the damaged recording alone\n" + guess_comments(report));
  return true;
}

}  // namespace

bool asks_for_inference(int argc, const char* const* argv) {
  return argc > 3 && equals_ignore_case(argv[3], kInferKeyword);
}

bool infer_and_save_model(InputWindow& input, const char* input_name, StreamModel& model) {
  std::printf("Inferring a model from '%s' alone...\n", input_name);
  InferenceReport report;
  InferStatus status = InferStatus::Ok;
  if (!infer_model(input, slice_data_judge(), model, report, status)) {
    print_failure(status, input_name);
    return false;
  }
  model.reference = printable(input_name).substr(0, kMaxTextChars);
  print_report(report);
  std::string text;
  if (!model_text(model, report, input_name, text)) return false;
  return write_model_file(input, text);
}

int infer_reference_model(InputWindow& input, const char* input_name) {
  StreamModel model;
  return infer_and_save_model(input, input_name, model) ? kExitSuccess : kExitFailure;
}

int run_inferred_recovery(InputWindow& input, int argc, const char* const* argv) {
  StreamModel model;
  if (!infer_and_save_model(input, argv[1], model)) return kExitFailure;
  return recover_with(input, model, argc, argv);
}

}  // namespace vidsalvage
