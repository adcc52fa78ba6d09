#pragma once
// A model of a recorder inferred from a damaged recording alone, for users with
// no intact recording of the same device: the video samples found as chains of
// NAL units, the lost SPS and PPS ranked from their slices and settled by a
// parser of slice data, the audio from the bytes between the samples. Fields
// nothing in the file shows take the usual values and are named as guesses.

#include <cstdint>
#include <string>
#include <vector>

#include "io/input_window.h"
#include "model/audio_inference.h"
#include "model/encoder_hints.h"
#include "model/hevc_inference.h"
#include "model/parameter_ranking.h"
#include "model/stream_model.h"

namespace vidsalvage {

// Hevc: HEVC without the encoder's settings; the other Hevc ones as HevcInferStatus.
enum class InferStatus {
  Ok,
  NoVideo,
  Hevc,
  HevcSpsRefSets,
  HevcUnsupported,
  HevcUnread,
  NoPictures,
  ReadFailed,
  LearnFailed
};

enum class AudioFinding { None, Aac, NeedsReference };

struct InferenceReport {
  VideoCodec codec = VideoCodec::Avc;
  HevcInference hevc;  // for HEVC, in place of the H.264 fields below
  std::uint32_t nal_length_size = 0;
  std::uint64_t chains = 0;
  std::uint64_t pictures_read = 0;  // first slices read under the chosen SPS fields
  std::int64_t bytes_read = 0;
  EncoderHints hints;
  bool size_measured = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t profile_idc = 0;
  SpsInfo sps;  // as written
  PpsInfo pps;
  bool cabac = false;
  bool b_slices = false;
  bool descriptors = false;  // a descriptor in front of every sample gives its size
  AudioFinding audio = AudioFinding::None;
  std::uint32_t channels = 0;
  RatePick rates;
  std::vector<Guess> guesses;
  // Fields no slice header shows, measured on the pictures: the field, its value, how.
  std::vector<Guess> measures;
  double seconds = 0;
};

// Infers a model from `input` without a reference. The judge parses slice data
// (empty: none, the picture size is then a guess). False with `status` when no
// H.264 chains are found (Hevc when the units are HEVC), none reads as a
// picture, a read fails, or the learning refuses the samples found. HEVC is
// inferred from the encoder's settings text; without one it fails as Hevc.
[[nodiscard]] bool infer_model(InputWindow& input, const SliceJudge& judge, StreamModel& model,
                               InferenceReport& report, InferStatus& status);

// The lines that mark the guessed fields in reference.model: comments its reader
// passes over, one per guess.
std::string guess_comments(const InferenceReport& report);

// The avc1, hvc1 and mp4a sample entries of a playable file, whole boxes.
std::vector<std::uint8_t> avc1_entry(const std::vector<std::uint8_t>& avcc, std::uint32_t width,
                                     std::uint32_t height);
std::vector<std::uint8_t> hvc1_entry(const std::vector<std::uint8_t>& hvcc, std::uint32_t width,
                                     std::uint32_t height);
std::vector<std::uint8_t> mp4a_entry(const std::vector<std::uint8_t>& audio_config,
                                     std::uint32_t channels, std::uint32_t sampling_rate);

// The esds body (after version and flags) of MPEG-4 audio with this
// AudioSpecificConfig.
std::vector<std::uint8_t> esds_body(const std::vector<std::uint8_t>& audio_config);

}  // namespace vidsalvage
