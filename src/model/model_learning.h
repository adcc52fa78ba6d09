#pragma once
// Learning: how a recorder lays out its tracks, read from an intact recording
// into the model that reference.model holds. The steps that need no file (the
// choice of roles, the census of samples, the rules inferred from sample heads)
// are functions of their own.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "io/input_window.h"
#include "model/stream_model.h"
#include "mp4/box_tree.h"

namespace vidsalvage {

enum class LearnStatus {
  Ok,
  NoVideo,
  VideoConfigTooLarge,
  RepeatedTrackId,
  TooManyTracks,
  TablesDisagree,
  OutsideFile,
  TooManySamples,
  SamplesOverlap,
  ReadFailed
};

struct LearnError {
  LearnStatus status = LearnStatus::Ok;
  std::uint32_t track = 0;             // the track at fault, when there is one
  std::uint64_t size = 0;              // VideoConfigTooLarge: the size at fault
  VideoCodec codec = VideoCodec::Avc;  // VideoConfigTooLarge: whose record it is
};

// Why a sound track is not learned as audio.
enum class AudioSkip {
  None,
  UnknownEntry,
  NoDecoderConfig,
  ConfigCutShort,
  ObjectType,
  UnindexedRate,
  ConfigTooLarge,
  FrameTooLarge,
  PcmFormat
};

struct SkippedAudio {
  std::uint32_t track = 0;
  std::string entry_type;
  AudioSkip why = AudioSkip::None;
  int object_type = 0;     // ObjectType: the AAC object type refused
  std::uint64_t size = 0;  // ConfigTooLarge, FrameTooLarge: the size at fault
};

// ---- Roles

inline constexpr std::uint32_t kNoTrack = UINT32_MAX;

struct Roles {
  std::vector<TrackRole> of;       // by index into the track list
  std::uint32_t video = kNoTrack;  // index of the video track
  VideoCodec video_codec = VideoCodec::Avc;
  std::vector<AudioModel> audio;           // the audio tracks with their formats, in track order
  std::vector<std::uint32_t> audio_index;  // the index of each in the track list
  std::vector<SkippedAudio> skipped;       // sound tracks not taken, and why
};

// The audio format of a sound track: AAC from its esds when the recovery can
// write it as ADTS (object types 1-4, HE-AAC and HE-AAC v2), PCM in the forms
// QuickTime and ISO files use. False with `why` when it is none the recovery
// writes.
[[nodiscard]] bool audio_format(const TrackTables& track, AudioModel& audio, SkippedAudio& why);

// The video coding of a track whose sample entry the recovery knows (avc1/avc3;
// hvc1/hev1, and Dolby Vision's dvh1/dvhe as their HEVC base) and that holds its
// configuration box. False for other tracks.
[[nodiscard]] bool video_codec_of(const TrackTables& track, VideoCodec& codec);

// The configuration record of a video track of `codec`: its avcC or hvcC body.
const std::vector<std::uint8_t>& video_config_of(const TrackTables& track, VideoCodec codec);

// The NAL length size the record declares; 0 when the record cannot be read or
// declares three bytes.
std::uint32_t nal_length_size_of(const TrackTables& track, VideoCodec codec);

// Chooses the video track (the first H.264 or HEVC one) and the audio tracks. False with
// `error` when no track can be the video or two tracks share an id.
[[nodiscard]] bool choose_roles(const std::vector<TrackTables>& tracks, Roles& roles,
                                LearnError& error);

// ---- The census of samples

struct Visit {
  std::int64_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t track = 0;  // index into the track list
};

// Every sample of every track in file order. Refuses tables that claim more
// sample bytes than the file holds or samples that overlap: then the learning
// would read the same bytes once per sample, and a hostile table makes that
// quadratic. So the bytes the learning walks stay within the file's size. (The
// count of samples is bounded too: each has a byte, or an stsz entry of four.)
[[nodiscard]] bool list_visits(const std::vector<TrackTables>& tracks, const Roles& roles,
                               std::int64_t file_size, std::vector<Visit>& visits,
                               LearnError& error);

// ---- Rules inferred from the heads of another track's samples

// The first bytes of a sample of another track, as the census keeps them.
struct SampleHead {
  std::uint32_t size = 0;    // the sample's size
  std::uint32_t length = 0;  // bytes held: the first kClassBytes at most
  std::array<std::uint8_t, kClassBytes> bytes{};
  std::int32_t klv_items = -1;   // top-level KLV items that fill the sample; -1: none do
  std::int64_t next_size = -1;   // the size of the sample after it in the file; -1: none
  std::uint32_t next_track = 0;  // that sample's track id
};

struct Link {
  SizeField field;  // width 0: none
  std::uint64_t held = 0;
  std::uint64_t of = 0;
};

// A field that holds the size of the next sample in the file, whatever its
// track, for at least 99% of the samples that have one after them.
Link infer_link(const std::vector<SampleHead>& samples);

// The samples grouped by their first four bytes, each group with its constant
// bytes and how its samples give their size. None when the first bytes vary more
// than kMaxClassesPerTrack ways.
std::vector<PrefixClass> infer_classes(const std::vector<SampleHead>& samples);

// ---- All of it

// Learns the model from the tracks' tables, visiting every sample of every track
// in the input once, in file order. False with `error` filled when there is no
// H.264 or HEVC video track, the tables point outside the input or overlap, a value
// lies beyond what the model file holds, or a read fails. `skipped`, when given,
// receives the sound tracks not learned as audio.
[[nodiscard]] bool learn_model(InputWindow& input, const std::vector<TrackTables>& tracks,
                               StreamModel& model, LearnError& error,
                               std::vector<SkippedAudio>* skipped = nullptr);

// The part of the reference's movie box that a playable file copies: the boxes
// copied byte for byte, timescales, language and timing rules, read again from
// the input's movie box. When that capture fails, the timing and names from the
// tables alone (the overload below), which the writer refuses for want of sample
// entries. False when a read fails.
[[nodiscard]] bool movie_template_of(InputWindow& input, const std::vector<TrackTables>& tracks,
                                     MovieTemplate& movie);
MovieTemplate movie_template_of(const std::vector<TrackTables>& tracks);

// The lead of `track`'s chunks against `video` (TrackTemplate::lead): the median,
// over its chunks with a video chunk after them in the file, of the chunk's
// decoding time less that video chunk's, in `track`'s timescale. False when no
// chunk has one.
[[nodiscard]] bool interleave_lead(const TrackTables& track, const TrackTables& video,
                                   std::int64_t& lead);

}  // namespace vidsalvage
