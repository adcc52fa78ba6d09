#include "app/driver.h"

#include <cstdio>
#include <cstdlib>

#include "io/exit_status.h"
#include "io/text.h"
#include "tools/chunk_offsets.h"
#include "tools/header_extraction.h"

namespace vidsalvage {
namespace {

// Set only by tests: reads the input through the window even when it could be mapped.
constexpr const char* kForceWindowVariable = "VIDSALVAGE_FORCE_WINDOW";
// Set only by tests: a window of this many bytes, reloaded after half of them, so
// that a small recording crosses reloads.
constexpr const char* kWindowBytesVariable = "VIDSALVAGE_TEST_WINDOW_BYTES";

void print_banner() {
  std::printf("vidsalvage 1.19 - salvages the video and audio of unfinalised MP4/MOV recordings\n");
  std::printf("Home page: https://vidsalvage.example/\n\n");
}

void print_usage() {
  std::printf("This utility can recover H.264/AVC stream from unfinalized MP4/MOV files\n");
  std::printf("without (or empty) header. You may got the unfinalized file in case of damaging\n");
  std::printf("camcorder during recording or such. This utility has been tested with files\n");
  std::printf("recorded by GoPro, but it may work with other camcorders too.\n");
  std::printf("Usage:\n");
  std::printf("  vidsalvage in_good_similar.mp4 --avcc\n");
  std::printf("  vidsalvage in_corrupted.mp4 out_video.h264 [out_audio.aac | out_audio.wav | "
              "out_audio.mp3] [<recorder>]\n");
  std::printf("  vidsalvage in_corrupted.mp4 out_video.h264 [--aac | --pcm | --mp3] [<recorder>]\n\n");
  std::printf("Supported recorders:\n");
  std::printf("  Default is Ambarella (used in GoPro, etc.)\n");
  std::printf("  Specify --eos in case of Canon EOS\n");
  std::printf("  Specify --apple in case of some Apple software encoder\n");
  std::printf("  Specify --android in case of Android smartphone\n");
  std::printf("  Specify --motorola in case of Motorola smartphone\n");
  std::printf("  Specify --samsung in case of Samsung camcorder\n");
  std::printf("Step 1: Use any good previous file with the same resolution and bitrate\n");
  std::printf("to generate the AVC configuration record, for example\n");
  std::printf("   >vidsalvage.exe GOPR0346.MP4 --avcc\n");
  std::printf("   Note: It will create the file '%s' in the current directory.\n", "avcc.hdr");
  std::printf("Step 2: Recover H.264 stream from the corrupted file, for example\n");
  std::printf("   >vidsalvage.exe GOPR0347.MP4 GOPR0347.h264 GOPR0347.aac\n");
  std::printf("   Note: The file '%s' must be exist.\n", "avcc.hdr");
  std::printf("   Note: Specify --pcm or the WAV file name in case of recovering MOV file written "
              "by Canon EOS.\n");
  std::printf("Step 3: Use any other utility (Yamb or ffmpeg for example)\n");
  std::printf("to recreate the MP4/MOV file from the H.264 stream (GOPR0347.h264).\n");
  std::printf("Note MP4 does not support PCM sound, you must create MOV in this case.\n");
}

InputOptions input_options_from_environment() {
  InputOptions options;
  options.allow_mapping = std::getenv(kForceWindowVariable) == nullptr;
  if (const char* bytes = std::getenv(kWindowBytesVariable); bytes != nullptr) {
    options.window_bytes = std::atoll(bytes);
    options.reload_bytes = options.window_bytes / 2;
  }
  return options;
}

int run_mode(InputWindow& input, RunMode mode, int argc, const char* const* argv) {
  // The dump modes take the table number from argument 3; 1 without it.
  const int table_number = argc > 3 ? parse_table_number(argv[3]) : 1;
  switch (mode) {
    case RunMode::DumpStco:
      return dump_chunk_offsets(input, ChunkTableKind::Stco, table_number);
    case RunMode::DumpCo64:
      return dump_chunk_offsets(input, ChunkTableKind::Co64, table_number);
    case RunMode::ExtractHeaders:
      return extract_headers(input, argv[1]);
    case RunMode::LearnModel:
      return learn_reference_model(input, argv[1]);
    case RunMode::InferModel:
      return infer_reference_model(input, argv[1]);
    case RunMode::Recover:
      if (asks_for_inference(argc, argv)) return run_inferred_recovery(input, argc, argv);
      if (asks_for_reference(argc, argv)) return run_reference_recovery(input, argc, argv);
      return asks_for_model(argc, argv) ? run_model_recovery(input, argc, argv)
                                        : run_recovery(input, argc, argv);
  }
  return kExitFailure;
}

}  // namespace

RunMode choose_run_mode(const char* argument) {
  if (equals_ignore_case(argument, "--stco")) return RunMode::DumpStco;
  if (equals_ignore_case(argument, "--co64")) return RunMode::DumpCo64;
  if (equals_ignore_case(argument, "--avcc")) return RunMode::ExtractHeaders;
  if (equals_ignore_case(argument, "--model")) return RunMode::LearnModel;
  if (equals_ignore_case(argument, "--infer")) return RunMode::InferModel;
  return RunMode::Recover;
}

int percent_of(std::int64_t size, std::int64_t input_size) {
  if (input_size <= 0) return 0;
  return static_cast<int>(size * 100 / input_size);
}

int run(int argc, const char* const* argv) {
  print_banner();
  if (argc < 3) {
    print_usage();
    return kExitUsage;
  }
  InputWindow input;
  if (!open_input(input, argv[1], input_options_from_environment())) return kExitFailure;
  const RunMode mode = choose_run_mode(argv[2]);
  int status = run_mode(input, mode, argc, argv);
  // Every mode stops at a failed read of the input, keeping what it wrote; the
  // failure is reported here, once, unless the learning reported it already.
  const bool reported = (mode == RunMode::LearnModel || mode == RunMode::InferModel) &&
                        status == kExitFailure;
  if (input_failed(input) && !reported) {
    std::printf("Cannot read '%s'\n", argv[1]);
    status = kExitFailure;
  }
  release_input(input);
  return status;
}

}  // namespace vidsalvage
