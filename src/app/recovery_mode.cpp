// The recovery mode: its set-up steps in their fixed order, the walk, and the
// run report.

#include <cstdio>

#include "app/driver.h"
#include "app/recovery_report.h"
#include "codec/audio_config.h"
#include "codec/avc_config.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "recovery/audio_output.h"
#include "recovery/recorder_profile.h"
#include "recovery/sample_walk.h"

namespace vidsalvage {

bool report_output(OutputFile& file, const char* name, std::int64_t input_size) {
  const std::int64_t size = file.position();
  if (!file.close()) return false;
  std::printf("'%s' created, size %lld (%d%%)\n", name, static_cast<long long>(size),
              percent_of(size, input_size));
  return true;
}

int write_failed(const char* name) {
  std::printf("Cannot write '%s'\n", name);
  return kExitFailure;
}

int finish_run(WalkOutcome outcome, OutputFile& video, const char* video_name, AudioOutput& audio,
               std::int64_t input_size) {
  switch (outcome) {
    case WalkOutcome::VideoWriteFailed:
      return write_failed(video_name);
    case WalkOutcome::AudioWriteFailed:
      return write_failed(audio.name);
    case WalkOutcome::Finished:
    case WalkOutcome::ReadFailed:  // the outputs keep what was written; the caller says why
      break;
  }
  if (!report_output(video, video_name, input_size)) return write_failed(video_name);
  if (!audio.file.is_open()) return kExitSuccess;
  if (audio.mode == AudioMode::Pcm && !finish_wav_header(audio)) return write_failed(audio.name);
  if (!report_output(audio.file, audio.name, input_size)) return write_failed(audio.name);
  return kExitSuccess;
}

int run_recovery(InputWindow& input, int argc, const char* const* argv) {
  const char* input_name = argv[1];
  const char* video_name = argv[2];

  AvcConfig avc;
  if (!load_avc_config(avc)) return kExitFailure;
  AudioOutput audio;
  if (!load_audio_config(audio.config)) return kExitFailure;
  audio.adts = fill_adts_template(audio.config);

  OutputFile video;
  if (!open_output(video, video_name, input)) return write_failed(video_name);
  std::printf("Writing '%s'...\n", video_name);

  const RecorderProfile& profile = select_recorder_profile(argc, argv);
  if (!choose_audio_output(audio, argc, argv, profile, input)) return kExitFailure;
  if (!write_video_prologue(avc, video)) return write_failed(video_name);

  const std::int64_t start = locate_media_data(input, input_name, profile);
  if (start == kNotFound) return kExitFailure;

  const WalkOutcome outcome = walk_samples(input, start, profile, audio, video);
  return finish_run(outcome, video, video_name, audio, input.size);
}

}  // namespace vidsalvage
