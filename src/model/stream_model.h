#pragma once
// What a recovery knows of a recorder once it has learned an intact recording of
// it: the tracks, the bytes their samples begin with, and the rules that tie one
// sample to the next. Kept in `reference.model`, a line-oriented text file that
// is also the report of what was learned.

#include <array>
#include <bitset>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/video_codec.h"
#include "mp4/box_tree.h"
#include "mp4/movie_template.h"

namespace vidsalvage {

inline constexpr const char* kModelFileName = "reference.model";
inline constexpr int kModelVersion = 2;

// The limits of what a model holds. The file's reader refuses anything beyond
// them, its writer refuses to write it, and the learning checks them first.
inline constexpr std::size_t kMaxModelTracks = 256;
inline constexpr std::size_t kMaxClassesPerTrack = 256;
inline constexpr std::size_t kClassBytes = 32;  // how far a class's constant bytes reach
inline constexpr std::size_t kMaxFirstUnits = 64;
inline constexpr std::uint32_t kMaxKlvItems = 64;  // top-level KLV items of one sample
inline constexpr std::size_t kMaxVideoConfigBytes = 65535;
inline constexpr std::size_t kMaxAudioConfigBytes = 64;
inline constexpr std::uint32_t kMaxAacFrameBytes = 1u << 20;
inline constexpr std::uint32_t kMaxPcmChannels = 64;
inline constexpr std::size_t kMaxTextChars = 4096;  // a track's name, the reference's name

enum class TrackRole { Video, Aac, Pcm, Other };

// The word a model file uses for a role, and the words a summary uses.
const char* role_word(TrackRole role);
const char* role_description(TrackRole role);

// Whether a unit of this type holds a slice of a picture: H.264 types 1 and 5
// (the data partitions aside), HEVC's VCL types but the reserved ones.
bool is_slice_type(VideoCodec codec, int type);

// What a summary calls the video: "H.264 video", "HEVC video".
const char* video_description(VideoCodec codec);

// A size stored in a sample: the value of `width` bytes at `offset`, plus `adjust`.
struct SizeField {
  std::uint32_t offset = 0;
  std::uint32_t width = 0;  // 2 or 4; 0: no field
  bool little_endian = false;
  std::int32_t adjust = 0;

  bool operator==(const SizeField&) const = default;
};

enum class SizeRule { None, Field, Klv };

// The samples of one track that begin with the same four bytes.
struct PrefixClass {
  std::array<std::uint8_t, 4> prefix{};
  std::uint64_t samples = 0;
  std::uint32_t min_size = 0;
  std::uint32_t max_size = 0;
  // The class's first bytes (up to kClassBytes, no more than its smallest sample);
  // fixed[i] is 1 where every sample of the class holds bytes[i].
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> fixed;
  std::uint32_t next_track = 0;  // the track whose sample follows most often; 0: none
  // How a sample's own size is read from its bytes, when its size varies.
  SizeRule size_rule = SizeRule::None;
  SizeField size_field;         // SizeRule::Field
  std::uint32_t klv_items = 0;  // SizeRule::Klv: the top-level items that make a sample

  bool operator==(const PrefixClass&) const = default;
};

struct ModelTrack {
  std::uint32_t id = 0;
  std::string handler;     // four characters
  std::string entry_type;  // four characters
  std::string name;        // printable ASCII
  TrackRole role = TrackRole::Other;
  std::uint32_t timescale = 0;
  std::vector<DurationRun> durations;
  std::uint64_t samples = 0;
  std::uint32_t min_size = 0;
  std::uint32_t max_size = 0;
  // link.width != 0: every sample holds the size of the sample after it (of any
  // track), as it did for `link_held` of `link_of` samples of the reference.
  SizeField link;
  std::uint64_t link_held = 0;
  std::uint64_t link_of = 0;
  std::vector<PrefixClass> classes;  // tracks in the Other role only

  bool operator==(const ModelTrack&) const = default;
};

// How a video sample begins: its first NAL unit.
struct FirstUnit {
  std::uint8_t header = 0;   // the NAL header byte (HEVC: the first of its two)
  std::int32_t second = -1;  // the byte after it; -1: any
  std::uint32_t length = 0;  // the unit's length; 0: it varies

  bool operator==(const FirstUnit&) const = default;
};

// The value the field holds in `bytes`, without its adjustment. The caller has
// checked that the bytes hold the field.
std::uint64_t field_value(std::span<const std::uint8_t> bytes, const SizeField& field);

struct VideoModel {
  std::uint32_t track = 0;
  VideoCodec codec = VideoCodec::Avc;
  // The decoder configuration record: the avcC body, or the hvcC body for HEVC.
  std::vector<std::uint8_t> avcc;
  std::uint32_t nal_length_size = 4;
  std::uint32_t max_unit = 0;
  std::uint32_t max_sample = 0;
  std::uint64_t max_gap = 0;  // the most bytes between two video samples
  // The first byte of the units used: H.264's one-byte header, the type and the
  // high bit of nuh_layer_id of HEVC's two.
  std::bitset<256> headers;
  // The first two bytes of the units, sorted: HEVC's whole header.
  std::vector<std::uint16_t> heads;
  std::bitset<kNalTypes * kNalTypes> bigrams;  // [previous type * kNalTypes + type]: followed
  std::vector<FirstUnit> first_units;

  bool operator==(const VideoModel&) const = default;
};

template <typename Key>
using Counts = std::vector<std::pair<Key, std::uint64_t>>;  // sorted by key

struct AudioModel {
  std::uint32_t track = 0;  // 0: the reference has no audio track the recovery writes
  TrackRole role = TrackRole::Aac;
  std::uint64_t samples = 0;
  std::uint64_t back_to_back = 0;  // samples that begin where the previous one ended
  std::uint64_t announced = 0;     // samples whose size the sample before announced
  // AAC
  std::vector<std::uint8_t> config;  // the AudioSpecificConfig
  Counts<std::uint32_t> sizes;
  Counts<std::uint16_t> starts2;  // the first two bytes of the frames
  Counts<std::uint32_t> starts3;  // the first three bytes of the frames
  // PCM: interleaved frames of `channels` samples of `bits` each.
  std::uint32_t channels = 0;
  std::uint32_t bits = 0;
  std::uint32_t rate = 0;
  bool little_endian = true;
  bool float_samples = false;  // IEEE floating point, else integers
  bool signed_samples = true;  // integers in two's complement, else offset binary (8 bits)
  std::uint32_t bytes_per_frame = 0;

  bool operator==(const AudioModel&) const = default;
};

// Whether a PCM format is one the model holds: integers of 8, 16, 24 or 32 bits
// (offset binary only at 8), floats of 32 or 64, frames of whole samples.
bool pcm_format_valid(const AudioModel& audio);

struct StreamModel {
  std::string reference;  // the intact recording's name, printable ASCII
  std::int64_t reference_size = 0;
  std::vector<ModelTrack> tracks;
  VideoModel video;
  AudioModel audio;                    // the first audio track the recovery writes
  std::vector<AudioModel> more_audio;  // the others, in track order
  MovieTemplate movie;                 // what a playable file copies from the reference
};

// What of a model its file cannot hold: the record and why.
struct ModelFault {
  const char* record = "";
  const char* reason = "";
};

// The model as the text of `reference.model`. False with `fault` filled when a
// field lies outside the limits the reader holds it to: such a text would not
// load back, so none is made.
[[nodiscard]] bool format_model(const StreamModel& model, std::string& text, ModelFault& fault);

enum class ModelParseStatus { Ok, NotAModel, OtherVersion, Invalid };

struct ModelParseError {
  ModelParseStatus status = ModelParseStatus::Ok;
  int line = 0;             // counted from 1
  const char* reason = "";  // what is wrong with that line
  int version = 0;          // OtherVersion: the file's version
};

// Reads a model from its text. False with `error` filled when the text is not a
// model, is of another version, or has a record that cannot be read.
[[nodiscard]] bool parse_model(std::span<const std::uint8_t> text, StreamModel& model,
                               ModelParseError& error);

// Reads `reference.model` from the current directory. Prints the reason and
// returns false when it cannot be opened or read, is of another version (naming
// the command that learns it again), or is not a valid model.
[[nodiscard]] bool load_model(StreamModel& model);

const ModelTrack* find_track(const StreamModel& model, std::uint32_t id);

// The audio model of track `id`, or nullptr.
const AudioModel* find_audio(const StreamModel& model, std::uint32_t id);

}  // namespace vidsalvage
