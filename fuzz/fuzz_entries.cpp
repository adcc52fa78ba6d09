#include "fuzz/fuzz_entries.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/audio_config.h"
#include "codec/avc_config.h"
#include "codec/bit_reader.h"
#include "codec/esds.h"
#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/intra_picture.h"
#include "codec/mpeg4_audio_config.h"
#include "codec/slice_data.h"
#include "codec/slice_header.h"
#include "codec/sps_parser.h"
#include "fuzz/reference_recordings.h"
#include "io/input_window.h"
#include "io/output_file.h"
#include "model/model_learning.h"
#include "model/stream_inference.h"
#include "model/stream_model.h"
#include "mp4/box_tree.h"
#include "recovery/audio_output.h"
#include "recovery/model_walk.h"
#include "recovery/movie_sink.h"
#include "recovery/recorder_profile.h"
#include "recovery/sample_walk.h"
#include "support/tracks.h"
#include "tools/chunk_offsets.h"

namespace vidsalvage::fuzz {
namespace {

// Set by CMake: "/dev/null", or "NUL" on Windows.
constexpr const char* kNullDevice = VIDSALVAGE_NULL_DEVICE;
constexpr const char* kInputName = "fuzz input";

using Input = std::span<const std::uint8_t>;

// The input through a window so small that a fuzzer's inputs cross its reloads.
constexpr InputOptions kSmallWindow = {
    .allow_mapping = false, .window_bytes = 1000, .reload_bytes = 750};

// Opens `input` mapped, or through the small window when `windowed`.
bool open_fuzz_input(InputWindow& window, Input input, bool windowed) {
  if (!windowed) {
    open_memory_input(window, input);
    return true;
  }
  return open_memory_input(window, input, kSmallWindow);
}

// The bit reader counts in 32 bits; libFuzzer's inputs stay far below that.
std::uint32_t size32(Input input) {
  return input.size() > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(input.size());
}

bool fuzz_sps(Input input) {
  SpsInfo info;
  NALUnit nal(input.data(), size32(input));
  (void)parse_sps(info, nal);
  return true;
}

// avcc.hdr as the prologue of a video output reads it: the SPS summaries included.
bool fuzz_avc_config(Input input) {
  AvcConfig config;
  config.bytes = std::make_unique<std::uint8_t[]>(input.size());
  std::copy(input.begin(), input.end(), config.bytes.get());
  config.size = static_cast<std::int64_t>(input.size());
  OutputFile video;
  if (!video.open(kNullDevice)) return false;
  return write_video_prologue(config, video) && video.close();
}

bool fuzz_esds(Input input) {
  EsdsInfo info;
  if (parse_esds(input, info) != kDescriptorOk) return true;
  // The DecoderSpecificInfo is read through these offsets: they must stay inside.
  return info.dsi_length == 0 ||
         (info.dsi_offset <= input.size() && info.dsi_length <= input.size() - info.dsi_offset);
}

// The ADTS header and the messages index the tables with these.
bool indexes_tables(const AudioConfig& config) {
  const auto rate = static_cast<std::size_t>(config.sampling_index);
  const auto channels = static_cast<std::size_t>(config.channel_config);
  return rate < kSamplingFrequencies.size() && kSamplingFrequencies[rate] != 0 &&
         channels < kChannelCounts.size() && kChannelCounts[channels] != 0;
}

// mp4a.hdr: the sample entry, its esds and the AudioSpecificConfig in it; and the
// input as an AudioSpecificConfig, as a model holds it.
bool fuzz_audio_config(Input input) {
  AudioConfig config;
  read_audio_entry(input, config);
  (void)fill_adts_template(config);
  AudioConfig from_asc;
  const AscDecision decision = adts_config_from_asc(input, from_asc);
  return indexes_tables(config) &&
         (decision.outcome != AscOutcome::Adts || indexes_tables(from_asc));
}

// The input as NAL units behind 2-byte lengths, as in a configuration record:
// parameter sets join those of the camera's record, slices are read with them.
// The parameter sets of a camera's avcC, then those the input's record holds.
AvcParameterSets fuzz_parameter_sets(Input input) {
  static const std::vector<std::uint8_t> camera_avcc = {
      0x01, 0x64, 0x00, 0x0D, 0xFF, 0xE1, 0x00, 0x19, 0x67, 0x64, 0x00, 0x0D, 0xAC, 0xD9,
      0x41, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03,
      0xC0, 0xF1, 0x42, 0x99, 0x60, 0x01, 0x00, 0x06, 0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
  AvcParameterSets sets;
  (void)read_config_parameter_sets(camera_avcc, sets);
  (void)read_config_parameter_sets(input, sets);
  return sets;
}

// Each unit of the input, behind a two-byte length, in a copy of its own so that
// a read past the unit is caught as such; parameter sets among them are taken.
template <typename Visit>
void for_each_unit(Input input, AvcParameterSets& sets, Visit visit) {
  for (std::size_t at = 0; at + 2 <= input.size();) {
    const std::size_t length = std::size_t{input[at]} << 8 | input[at + 1];
    at += 2;
    if (length > input.size() - at) break;
    const std::vector<std::uint8_t> unit(input.begin() + static_cast<std::ptrdiff_t>(at),
                                         input.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    (void)add_parameter_set(sets, unit);
    visit(unit);
  }
}

bool fuzz_slice_header(Input input) {
  AvcParameterSets sets = fuzz_parameter_sets(input);
  SliceHeader previous;
  bool have_previous = false;
  for_each_unit(input, sets, [&](const std::vector<std::uint8_t>& unit) {
    if (!unit.empty()) {
      SliceHeader whole;
      NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      if (read_slice_header_to_data(unit, sets, whole, reader) == SliceRead::Read) {
        (void)reader.more_rbsp_data();
      }
    }
    SliceHeader slice;
    if (read_slice_header(unit, sets, slice) != SliceRead::Read) return;
    if (have_previous) (void)starts_new_picture(previous, slice, sets);
    previous = slice;
    have_previous = true;
  });
  return true;
}

// The slice data behind each slice header: a clean end never lies past the
// picture's last macroblock, the record stays within its limit, and the intra
// rebuild takes whatever the parse recorded.
bool fuzz_slice_data(Input input) {
  constexpr std::size_t kRecordedMbs = 64;
  AvcParameterSets sets = fuzz_parameter_sets(input);
  bool held = true;
  for_each_unit(input, sets, [&](const std::vector<std::uint8_t>& unit) {
    std::vector<CodedMacroblock> recorded;
    const SliceDataResult result = parse_slice_data(unit, sets, recorded, kRecordedMbs);
    if (recorded.size() > kRecordedMbs) held = false;
    IntraPicture rebuilt;
    if (rebuild_intra(recorded, 8, 8, {26, 0}, rebuilt)) (void)blockiness(rebuilt);
    if (result.end != SliceDataEnd::Clean) return;
    SliceHeader header;
    if (read_slice_header(unit, sets, header) != SliceRead::Read) return;
    const PpsInfo& pps = *sets.pps[header.pic_parameter_set_id];
    const SpsInfo& sps = *sets.sps[pps.seq_parameter_set_id];
    const std::uint64_t picture = std::uint64_t{sps.pic_width_in_mbs} *
                                  sps.pic_height_in_map_units * (sps.frame_mbs_only_flag ? 1 : 2);
    if (std::uint64_t{result.first_mb} + result.macroblocks > picture) held = false;
  });
  return held;
}

// hvcC: the record, its Annex B prologue and its parameter sets.
bool fuzz_hevc_config(Input input) {
  HevcConfig config;
  if (!parse_hevc_config(input, config)) return true;
  (void)hevc_annex_b_prologue(config);
  HevcParameterSets sets;
  (void)read_hevc_config_parameter_sets(config, sets);
  return true;
}

// Every listed sample lies inside the file, as the learning relies on.
bool samples_inside(const TrackTables& track, std::int64_t file_size, bool merge_chunks) {
  std::vector<SampleRef> samples;
  (void)list_samples(track, file_size, merge_chunks, samples);
  for (const SampleRef& s : samples) {
    if (s.offset < 0 || s.offset > file_size || s.size > file_size - s.offset) return false;
  }
  return true;
}

// The whole input as a file with a moov somewhere, and as the body of a moov.
bool fuzz_box_tree(Input input) {
  for (bool windowed : {false, true}) {
    InputWindow window;
    if (!open_fuzz_input(window, input, windowed)) return false;
    std::vector<TrackTables> tracks;
    BoxTreeError error;
    if (!read_movie(window, tracks, error)) continue;
    for (const TrackTables& track : tracks) {
      if (!samples_inside(track, window.size, false) || !samples_inside(track, window.size, true)) {
        return false;
      }
    }
  }
  BoxTreeError error;
  std::vector<TrackTables> body_tracks;
  (void)read_movie_body(input, 0, body_tracks, error);
  return true;
}

// The text of `model` reads back into a model whose text is the same. A model
// without a text passes only when `may_refuse`: the learning refuses such a model
// with a message, while what the reader loaded must always write back. Says on
// standard error what broke, so that findings can be told apart.
bool loads_back(const StreamModel& model, bool may_refuse) {
  std::string text;
  ModelFault fault;
  if (!format_model(model, text, fault)) {
    if (may_refuse) return true;
    std::fprintf(stderr, "The model loaded cannot be written: '%s' record has %s\n", fault.record,
                 fault.reason);
    return false;
  }
  StreamModel again;
  ModelParseError error;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!parse_model({bytes, text.size()}, again, error)) {
    std::fprintf(stderr, "The model written does not load: line %d: %s\n", error.line,
                 error.reason);
    return false;
  }
  std::string again_text;
  if (!format_model(again, again_text, fault) || again_text != text) {
    std::fprintf(stderr, "The model loads back as another\n");
    return false;
  }
  return true;
}

bool learn(Input reference, StreamModel& model) {
  InputWindow window;
  open_memory_input(window, reference);
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  LearnError learn_error;
  if (!read_movie(window, tracks, box_error) || !learn_model(window, tracks, model, learn_error)) {
    return false;
  }
  model.reference = kInputName;
  model.reference_size = window.size;
  return true;
}

// What the learning writes, the recovery must load.
bool fuzz_learning(Input input) {
  StreamModel model;
  return !learn(input, model) || loads_back(model, true);
}

// What the inference makes of a damaged file, mapped or windowed, the recovery
// must load; and the inference stays within its time.
bool fuzz_inference(Input input) {
  for (bool windowed : {false, true}) {
    InputWindow window;
    if (!open_fuzz_input(window, input, windowed)) return false;
    StreamModel model;
    InferenceReport report;
    InferStatus status = InferStatus::Ok;
    const bool inferred = infer_model(window, SliceJudge{}, model, report, status);
    release_input(window);
    if (inferred && !loads_back(model, true)) return false;
  }
  return true;
}

bool fuzz_model_file(Input input) {
  StreamModel model;
  ModelParseError error;
  return !parse_model(input, model, error) || loads_back(model, false);
}

bool fuzz_chunk_offsets(Input input) {
  for (bool windowed : {false, true}) {
    InputWindow window;
    if (!open_fuzz_input(window, input, windowed)) return false;
    for (ChunkTableKind kind : {ChunkTableKind::Stco, ChunkTableKind::Co64}) {
      for (int table = 1; table <= 2; ++table) (void)dump_chunk_offsets(window, kind, table);
    }
  }
  return true;
}

// The outputs of the walks over one input, on the null device: opened once, as
// each holds a large buffer, and told before each walk which audio it takes.
struct NullOutputs {
  OutputFile video;
  AudioOutput audio;

  bool open() {
    audio.name = "audio";
    return video.open(kNullDevice) && audio.file.open(kNullDevice);
  }
  void take_audio(AudioMode mode, const AudioConfig& config) {
    audio.mode = mode;
    audio.config = config;
    audio.adts = fill_adts_template(config);
    audio.aac_mono = mode == AudioMode::Aac &&
                     kChannelCounts[static_cast<std::size_t>(config.channel_config)] == 1;
  }
  bool close() { return video.close() && audio.file.close(); }
};

struct SignatureRun {
  RecorderKind recorder;
  AudioMode mode;
  int channel_config;
  bool windowed = false;
};

// Every recorder with the audio it assumes, and the other audio kinds once.
constexpr SignatureRun kSignatureRuns[] = {
    {RecorderKind::Ambarella, AudioMode::Aac, 2, true},
    {RecorderKind::Ambarella, AudioMode::Aac, 2},
    {RecorderKind::Ambarella, AudioMode::Aac, 1},
    {RecorderKind::Ambarella, AudioMode::Mp3, 2},
    {RecorderKind::Eos, AudioMode::Pcm, 2},
    {RecorderKind::Eos, AudioMode::Aac, 2},
    {RecorderKind::Apple, AudioMode::Aac, 2},
    {RecorderKind::Android, AudioMode::Aac, 2},
    {RecorderKind::Motorola, AudioMode::Aac, 2},
    {RecorderKind::Samsung, AudioMode::Aac, 2},
};

bool fuzz_signature_walk(Input input) {
  NullOutputs out;
  if (!out.open()) return false;
  for (const SignatureRun& run : kSignatureRuns) {
    InputWindow window;
    if (!open_fuzz_input(window, input, run.windowed)) return false;
    const RecorderProfile& profile = recorder_profile(run.recorder);
    AudioConfig config;
    config.channel_config = run.channel_config;
    out.take_audio(run.mode, config);
    const std::int64_t start = locate_media_data(window, kInputName, profile);
    // Outputs on the null device never fail: any other end is a fault.
    if (start != kNotFound &&
        walk_samples(window, start, profile, out.audio, out.video) != WalkOutcome::Finished) {
      return false;
    }
  }
  return out.close();
}

// The models of the references, learned once; empty when the learning failed.
const std::vector<StreamModel>& reference_models() {
  static const std::vector<StreamModel> models = [] {
    std::vector<StreamModel> learned;
    for (ReferenceAudio audio : {ReferenceAudio::Aac, ReferenceAudio::Pcm}) {
      const std::vector<std::uint8_t> reference = camera_reference(audio);
      StreamModel model;
      if (!learn(reference, model)) return std::vector<StreamModel>{};
      learned.push_back(std::move(model));
    }
    return learned;
  }();
  return models;
}

// Walks `damaged` as a recording of the camera that `model` describes.
bool walk_damaged(Input damaged, const StreamModel& model, NullOutputs& out, bool windowed) {
  InputWindow window;
  if (!open_fuzz_input(window, damaged, windowed)) return false;
  out.take_audio(model.audio.role == TrackRole::Pcm ? AudioMode::Pcm : AudioMode::Aac,
                 AudioConfig{});
  const std::int64_t start =
      locate_media_data(window, kInputName, recorder_profile(RecorderKind::Ambarella));
  return start == kNotFound ||
         walk_with_model(window, start, model, out.audio, out.video) == WalkOutcome::Finished;
}

// The input as a damaged recording of each reference's camera.
bool fuzz_model_walk(Input input) {
  const std::vector<StreamModel>& models = reference_models();
  NullOutputs out;
  if (models.empty() || !out.open()) return false;
  // The PCM camera's walk goes through the small window.
  for (const StreamModel& model : models) {
    if (!walk_damaged(input, model, out, &model != &models.front())) return false;
  }
  return out.close();
}

// The input as reference.model, with which the references' damaged twins are
// walked: whatever the reader accepts, the walk must cope with.
bool fuzz_model_file_walk(Input input) {
  static const std::vector<std::uint8_t> damaged[] = {
      without_movie(camera_reference(ReferenceAudio::Aac)),
      without_movie(camera_reference(ReferenceAudio::Pcm))};
  StreamModel model;
  ModelParseError error;
  if (!parse_model(input, model, error)) return true;
  NullOutputs out;
  if (!out.open()) return false;
  for (const std::vector<std::uint8_t>& recording : damaged) {
    if (!walk_damaged(recording, model, out, false)) return false;
  }
  return out.close();
}

// A file of this process's own for the playable files: the writer seeks back to
// finish mdat, and the result is read again.
const std::string& movie_path() {
  static const std::string path =
      (std::filesystem::temp_directory_path() /
       ("vidsalvage-fuzz-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".mp4"))
          .string();
  return path;
}

// Salvages `damaged` into a playable file with `model`, and reads the file back:
// it must hold every video sample the sink counted, each inside the file.
bool salvage_to_movie(Input damaged, const StreamModel& model, NullOutputs& out, bool windowed) {
  InputWindow window;
  if (!open_fuzz_input(window, damaged, windowed)) return false;
  OutputFile file;
  if (!file.open(movie_path().c_str())) return false;
  MovieSink sink(window);
  if (sink.start(file, model) != SinkStart::Started) return false;
  out.take_audio(model.audio.role == TrackRole::Pcm ? AudioMode::Pcm : AudioMode::Aac,
                 AudioConfig{});
  const std::int64_t start =
      locate_media_data(window, kInputName, recorder_profile(RecorderKind::Ambarella));
  if (start != kNotFound &&
      walk_to_movie(window, start, model, out.audio, sink) != WalkOutcome::Finished) {
    return false;
  }
  if (!sink.finish() || !file.close()) return false;
  std::FILE* written = std::fopen(movie_path().c_str(), "rb");
  if (written == nullptr) return false;
  test::Bytes bytes;
  for (int c = std::fgetc(written); c != EOF; c = std::fgetc(written)) {
    bytes.push_back(static_cast<std::uint8_t>(c));
  }
  std::fclose(written);
  std::uint64_t video_samples = 0;
  for (const test::Track& track : test::read_tracks(bytes)) {
    if (track.handler == "vide") video_samples += track.samples.size();
    for (const test::Sample& sample : track.samples) {
      if (sample.offset < 0 || sample.size < 0 ||
          sample.offset + sample.size > static_cast<std::int64_t>(bytes.size())) {
        return false;
      }
    }
  }
  return video_samples == sink.video_samples();
}

// The input as a damaged recording of each reference's camera, salvaged into a
// playable file.
bool fuzz_movie_walk(Input input) {
  const std::vector<StreamModel>& models = reference_models();
  NullOutputs out;
  if (models.empty() || !out.open()) return false;
  for (const StreamModel& model : models) {
    if (!salvage_to_movie(input, model, out, &model != &models.front())) return false;
  }
  std::error_code ignored;
  std::filesystem::remove(movie_path(), ignored);
  return out.close();
}

constexpr FuzzTarget kTargets[] = {
    {"sps", fuzz_sps},
    {"avc_config", fuzz_avc_config},
    {"esds", fuzz_esds},
    {"audio_config", fuzz_audio_config},
    {"slice_header", fuzz_slice_header},
    {"slice_data", fuzz_slice_data},
    {"hevc_config", fuzz_hevc_config},
    {"box_tree", fuzz_box_tree},
    {"learning", fuzz_learning},
    {"model_file", fuzz_model_file},
    {"inference", fuzz_inference},
    {"chunk_offsets", fuzz_chunk_offsets},
    {"signature_walk", fuzz_signature_walk},
    {"model_walk", fuzz_model_walk},
    {"model_file_walk", fuzz_model_file_walk},
    {"movie_walk", fuzz_movie_walk},
};

}  // namespace

std::span<const FuzzTarget> fuzz_targets() { return kTargets; }

const FuzzTarget* find_fuzz_target(std::string_view name) {
  for (const FuzzTarget& target : kTargets) {
    if (name == target.name) return &target;
  }
  return nullptr;
}

void silence_stdout() {
  if (std::freopen(kNullDevice, "w", stdout) == nullptr) std::perror(kNullDevice);
}

}  // namespace vidsalvage::fuzz
