// The recovery with a learned model: reference.model in place of avcc.hdr and
// mp4a.hdr, and the model walk in place of the recorders' signature tables.

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "app/recovery_report.h"
#include "codec/audio_config.h"
#include "codec/avc_config.h"
#include "codec/hevc_config.h"
#include "codec/mpeg4_audio_config.h"
#include "codec/wav_format.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "io/text.h"
#include "model/stream_model.h"
#include "mp4/top_level_boxes.h"
#include "recovery/audio_output.h"
#include "recovery/model_walk.h"
#include "recovery/movie_sink.h"
#include "recovery/recorder_profile.h"
#include "recovery/sample_walk.h"

namespace vidsalvage {
namespace {

constexpr const char* kModelKeyword = "--model";
constexpr const char* kReferenceKeyword = "--reference";
// As argument 3 these choose no audio file.
constexpr std::array<const char*, 6> kNoAudioFile = {"--aac",   "--pcm",           "--mp3",
                                                     "--model", kReferenceKeyword, "--infer"};
// A video output with one of these endings is a playable file.
constexpr std::array<const char*, 3> kMovieEndings = {".mp4", ".m4v", ".mov"};

bool names_audio_file(int argc, const char* const* argv) {
  if (argc <= 3) return false;
  return std::none_of(kNoAudioFile.begin(), kNoAudioFile.end(),
                      [&](const char* k) { return equals_ignore_case(argv[3], k); });
}

// The ADTS parameters of the reference's AAC. False when no ADTS header can
// describe it, after a line saying why when `name` names the audio file (nullptr:
// none is asked for): no audio file is written then.
bool adts_config_or_say_why(AudioOutput& audio, const AudioModel& a, const char* name) {
  const AscDecision decision = adts_config_from_asc(a.config, audio.config);
  if (decision.outcome == AscOutcome::Adts) return true;
  if (name == nullptr) return false;
  if (decision.outcome == AscOutcome::UnsupportedType) {
    std::printf("Not writing '%s': the reference's audio is %s, which ADTS cannot carry\n", name,
                audio_object_type_name(decision.refused_type));
  } else if (decision.outcome == AscOutcome::UnsupportedRate) {
    std::printf("Not writing '%s': the reference's audio rate has no ADTS index\n", name);
  } else {
    std::printf("Not writing '%s': the reference's AudioSpecificConfig is cut short\n", name);
  }
  return false;
}

// The files of the audio tracks after the first; an output without a file when
// argument 3 names no audio file or ADTS cannot carry the track.
struct MoreAudio {
  std::unique_ptr<AudioOutput[]> outputs;  // AudioOutput holds a file: it does not move
  std::size_t count = 0;
  std::vector<std::string> names;  // the outputs' names point into these
  std::span<AudioOutput> span() { return {outputs.get(), count}; }
};

// Patches a PCM output's WAV header. False when the write failed.
bool finish_wav_header_of(AudioOutput& audio) {
  return audio.mode != AudioMode::Pcm || finish_wav_header(audio);
}

// A WAV header for the reference's PCM format; the run report patches the sizes.
bool write_wav_header(AudioOutput& audio, const AudioModel& a) {
  WavFormat format;
  format.kind = a.float_samples ? WavSampleKind::Float : WavSampleKind::Integer;
  format.bits = a.bits;
  format.channels = a.channels;
  format.rate = a.rate;
  std::vector<std::uint8_t> header;
  if (!make_wav_header(format, header) || !audio.file.write(header)) return false;
  audio.wav_header_bytes = static_cast<std::int64_t>(header.size());
  return true;
}

// Opens the audio output named by argument 3 in the kind the model learned, and
// prints the line naming that kind. False after "Cannot write".
bool open_model_audio(AudioOutput& audio, const StreamModel& model, int argc,
                      const char* const* argv, const InputWindow& input) {
  const AudioModel& a = model.audio;
  if (a.track == 0) {
    std::printf("The reference recording has no audio track\n");
    return true;
  }
  audio.mode = a.role == TrackRole::Pcm ? AudioMode::Pcm : AudioMode::Aac;
  const char* name = names_audio_file(argc, argv) ? argv[3] : nullptr;
  if (audio.mode == AudioMode::Aac && !adts_config_or_say_why(audio, a, name)) return true;
  audio.adts = fill_adts_template(audio.config);
  if (names_audio_file(argc, argv)) {
    audio.name = argv[3];
    if (!open_output(audio.file, audio.name, input)) {
      write_failed(audio.name);
      return false;
    }
    std::printf("Writing '%s'...\n", audio.name);
    if (audio.mode == AudioMode::Pcm && !write_wav_header(audio, a)) {
      write_failed(audio.name);
      return false;
    }
  }
  if (audio.mode == AudioMode::Pcm) {
    std::printf("Assuming audio stream is PCM, %ubit, %u Hz, %u channel(s)\n", a.bits, a.rate,
                a.channels);
  } else {
    std::printf(
        "Assuming audio stream is AAC, %d Hz, %d channel(s), profile %d\n",
        static_cast<int>(
            kSamplingFrequencies[static_cast<std::size_t>(audio.config.sampling_index)]),
        static_cast<int>(kChannelCounts[static_cast<std::size_t>(audio.config.channel_config)]),
        audio.config.object_type);
  }
  return true;
}

// The file of the audio track at `place` (counted from 1) after the first's:
// its stem, the place, the ending of the track's kind.
std::string more_audio_name(std::string_view first, std::size_t place, TrackRole role) {
  const std::size_t dot = first.rfind('.');
  const std::size_t separator = first.find_last_of("/\\");
  const bool has_ending = dot != std::string_view::npos && dot > 0 &&
                          (separator == std::string_view::npos || dot > separator + 1);
  std::string name(has_ending ? first.substr(0, dot) : first);
  name += "." + std::to_string(place) + (role == TrackRole::Pcm ? ".wav" : ".aac");
  return name;
}

// The audio files of the reference's audio tracks after the first, beside the
// first's file, one line each. A track whose AAC ADTS cannot carry is not
// written, after a line saying why. False after "Cannot write".
bool open_more_audio(MoreAudio& more, const StreamModel& model, int argc, const char* const* argv,
                     const InputWindow& input) {
  const std::size_t n = model.more_audio.size();
  more.outputs = std::make_unique<AudioOutput[]>(n);
  more.count = n;
  if (!names_audio_file(argc, argv)) return true;
  for (std::size_t k = 0; k < n; ++k) {
    more.names.push_back(more_audio_name(argv[3], k + 2, model.more_audio[k].role));
  }
  for (std::size_t k = 0; k < n; ++k) {
    const AudioModel& a = model.more_audio[k];
    AudioOutput& audio = more.outputs[k];
    audio.name = more.names[k].c_str();
    audio.mode = a.role == TrackRole::Pcm ? AudioMode::Pcm : AudioMode::Aac;
    if (audio.mode == AudioMode::Aac) {
      if (!adts_config_or_say_why(audio, a, audio.name)) continue;
      audio.adts = fill_adts_template(audio.config);
    }
    if (!open_output(audio.file, audio.name, input)) {
      write_failed(audio.name);
      return false;
    }
    const ModelTrack* t = find_track(model, a.track);
    std::printf("Writing audio track %zu (track %u, %s) to '%s'...\n", k + 2, a.track,
                t != nullptr ? t->entry_type.c_str() : "?", audio.name);
    if (audio.mode == AudioMode::Pcm && !write_wav_header(audio, a)) {
      write_failed(audio.name);
      return false;
    }
  }
  return true;
}

bool names_movie(const char* name) {
  const std::string_view n(name);
  return std::any_of(kMovieEndings.begin(), kMovieEndings.end(), [&](const char* ending) {
    const std::string_view e(ending);
    return n.size() > e.size() && equals_ignore_case(n.substr(n.size() - e.size()), e);
  });
}

// The parameter sets a raw stream opens with, behind start codes: H.264's as the
// recovery without a model writes them, HEVC's VPS, SPS and PPS from the hvcC.
// False when the video output cannot be written.
bool write_model_prologue(const VideoModel& v, OutputFile& video) {
  if (v.codec == VideoCodec::Hevc) {
    HevcConfig config;
    // The model's reader took only a record that reads.
    if (!parse_hevc_config(v.avcc, config)) return true;
    const std::vector<std::uint8_t> prologue = hevc_annex_b_prologue(config);
    std::printf("Writing the VPS, SPS and PPS of the reference's hvcC, %u bytes\n",
                static_cast<unsigned>(prologue.size()));
    return video.write(prologue);
  }
  AvcConfig avc;
  avc.size = static_cast<std::int64_t>(v.avcc.size());
  avc.bytes = std::make_unique<std::uint8_t[]>(v.avcc.size());
  std::copy(v.avcc.begin(), v.avcc.end(), avc.bytes.get());
  return write_video_prologue(avc, video);
}

struct MediaSpan {
  std::int64_t start = kNotFound;
  std::int64_t end = kNotFound;  // kNotFound: the end of the input, where it was cut
};

// The media data found as without a model (no recorder's skip applies). Where
// the boxes lead up to it, its header says where it begins and where it ends:
// what follows it is no media. start is kNotFound after its message.
MediaSpan find_samples(InputWindow& input, const char* input_name) {
  const std::int64_t located =
      locate_media_data(input, input_name, recorder_profile(RecorderKind::Ambarella));
  if (located == kNotFound) return {};
  const MediaBox media = find_media_box(input);
  return {media.body != kNotFound ? media.body : located, media.end};
}

// The run report; a failed read of the input fails the run, and the driver says so.
int finish_with_read(WalkOutcome outcome, OutputFile& video, const char* video_name,
                     AudioOutput& audio, MoreAudio& more, const InputWindow& input) {
  for (AudioOutput& extra : more.span()) {
    if (outcome == WalkOutcome::AudioWriteFailed && extra.write_failed) {
      return write_failed(extra.name);
    }
  }
  int status = finish_run(outcome, video, video_name, audio, input.size);
  for (AudioOutput& extra : more.span()) {
    if (status != kExitSuccess || !extra.file.is_open()) continue;
    if (!finish_wav_header_of(extra) || !report_output(extra.file, extra.name, input.size)) {
      status = write_failed(extra.name);
    }
  }
  return outcome == WalkOutcome::ReadFailed ? kExitFailure : status;
}

int recover_raw_streams(InputWindow& input, const StreamModel& model, int argc,
                        const char* const* argv) {
  const char* input_name = argv[1];
  const char* video_name = argv[2];
  OutputFile video;
  if (!open_output(video, video_name, input)) return write_failed(video_name);
  std::printf("Writing '%s'...\n", video_name);

  AudioOutput audio;
  if (!open_model_audio(audio, model, argc, argv, input)) return kExitFailure;
  MoreAudio more;
  if (!open_more_audio(more, model, argc, argv, input)) return kExitFailure;

  if (!write_model_prologue(model.video, video)) return write_failed(video_name);

  const MediaSpan media = find_samples(input, input_name);
  if (media.start == kNotFound) return kExitFailure;
  const WalkOutcome outcome =
      walk_with_model(input, media.start, model, audio, video, media.end, more.span());
  return finish_with_read(outcome, video, video_name, audio, more, input);
}

// The playable file: every track the model recognises, in the reference's
// container, with the audio file of argument 3 written besides.
int recover_movie(InputWindow& input, const StreamModel& model, int argc, const char* const* argv) {
  const char* input_name = argv[1];
  const char* movie_name = argv[2];
  OutputFile movie;
  if (!open_output(movie, movie_name, input)) return write_failed(movie_name);
  MovieSink sink(input);
  switch (sink.start(movie, model)) {
    case SinkStart::Started:
      break;
    case SinkStart::NoTemplate:
      std::printf(
          "'%s' holds no track descriptions to write '%s' with; learn it again: "
          "vidsalvage INTACT.MP4 --model\n",
          kModelFileName, movie_name);
      return kExitFailure;
    case SinkStart::WriteFailed:
      return write_failed(movie_name);
  }
  std::printf("Writing '%s'...\n", movie_name);

  AudioOutput audio;
  if (!open_model_audio(audio, model, argc, argv, input)) return kExitFailure;
  MoreAudio more;
  if (!open_more_audio(more, model, argc, argv, input)) return kExitFailure;

  const MediaSpan media = find_samples(input, input_name);
  if (media.start == kNotFound) {
    // An empty movie rather than a file no player opens.
    (void)sink.finish();
    return kExitFailure;
  }
  WalkOutcome outcome =
      walk_to_movie(input, media.start, model, audio, sink, media.end, more.span());
  // What was read before a read failed is whole: the movie is finished around it.
  const bool finishes = outcome == WalkOutcome::Finished || outcome == WalkOutcome::ReadFailed;
  if (finishes && !sink.finish()) outcome = WalkOutcome::VideoWriteFailed;
  if (outcome == WalkOutcome::Finished) {
    std::printf("%llu video frames in '%s'\n",
                static_cast<unsigned long long>(sink.video_samples()), movie_name);
  }
  return finish_with_read(outcome, movie, movie_name, audio, more, input);
}

}  // namespace

int recover_with(InputWindow& input, const StreamModel& model, int argc, const char* const* argv) {
  if (names_movie(argv[2])) return recover_movie(input, model, argc, argv);
  return recover_raw_streams(input, model, argc, argv);
}

bool asks_for_reference(int argc, const char* const* argv) {
  return argc > 4 && equals_ignore_case(argv[3], kReferenceKeyword);
}

int run_reference_recovery(InputWindow& input, int argc, const char* const* argv) {
  InputWindow reference;
  if (!open_input(reference, argv[4], InputOptions{})) return kExitFailure;
  StreamModel model;
  const bool learned = learn_and_save_model(reference, argv[4], model);
  release_input(reference);
  if (!learned) return kExitFailure;
  return recover_with(input, model, argc, argv);
}

bool asks_for_model(int argc, const char* const* argv) {
  for (int i = 3; i < argc; ++i) {
    if (equals_ignore_case(argv[i], kModelKeyword)) return true;
  }
  return false;
}

int run_model_recovery(InputWindow& input, int argc, const char* const* argv) {
  StreamModel model;
  if (!load_model(model)) return kExitFailure;
  return recover_with(input, model, argc, argv);
}

}  // namespace vidsalvage
