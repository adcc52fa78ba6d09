// The --model mode: learns an intact recording and writes reference.model, with
// the summary of what it learned and a message for each way learning can fail.

#include <cstdio>
#include <string>
#include <string_view>

#include "app/driver.h"
#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"
#include "codec/mpeg4_audio_config.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "io/text.h"
#include "model/model_learning.h"
#include "model/stream_model.h"
#include "mp4/box_tree.h"

namespace vidsalvage {
namespace {

const char* chroma_name(std::uint32_t chroma_format_idc) {
  constexpr const char* kNames[] = {"4:0:0", "4:2:0", "4:2:2", "4:4:4"};
  return chroma_format_idc < 4 ? kNames[chroma_format_idc] : "?";
}

// H.265 A.3: general_profile_idc.
const char* hevc_profile_name(std::uint32_t profile_idc) {
  constexpr const char* kNames[] = {"", "Main", "Main 10", "Main Still Picture",
                                    "Range extensions"};
  return profile_idc >= 1 && profile_idc < 5 ? kNames[profile_idc] : "Other";
}

// H.265 Annex A: general_level_idc is 30 times the level.
void print_hevc_format(const char* size, std::uint32_t profile, bool high_tier,
                       std::uint32_t level_idc, std::uint32_t chroma, std::uint32_t bits) {
  std::printf("Video: HEVC, %s, %s profile (%u), %s tier, level %u.%u, %s, %u-bit\n", size,
              hevc_profile_name(profile), profile, high_tier ? "High" : "Main", level_idc / 30,
              level_idc % 30 / 3, chroma_name(chroma), bits);
}

// The picture size, with the conformance window applied, and the format from the
// first SPS of the record; from the record's own fields when it holds none.
void print_hevc_summary(const VideoModel& v) {
  HevcConfig config;
  if (!parse_hevc_config(v.avcc, config)) return;
  for (const HevcParameterArray& array : config.arrays) {
    if (array.nal_unit_type != kHevcSps) continue;
    for (const std::span<const std::uint8_t> unit : array.units) {
      HevcSps sps;
      if (!parse_hevc_sps(unit, sps)) continue;
      const std::string size = std::to_string(sps.width()) + "x" + std::to_string(sps.height());
      print_hevc_format(size.c_str(), sps.general_profile_idc, sps.general_tier_flag,
                        sps.general_level_idc, sps.chroma_format_idc, sps.bit_depth_luma);
      return;
    }
  }
  print_hevc_format("size in the stream", config.general_profile_idc, config.general_tier_flag,
                    config.general_level_idc, config.chroma_format_idc, config.bit_depth_luma);
}

void print_summary(const StreamModel& model) {
  for (const ModelTrack& t : model.tracks) {
    const char* role = t.role == TrackRole::Video && t.id == model.video.track
                           ? video_description(model.video.codec)
                           : role_description(t.role);
    std::printf("Track %u '%s' '%s': %s, %llu samples of %u to %u bytes\n", t.id,
                printable(t.handler).c_str(), printable(t.entry_type).c_str(), role,
                static_cast<unsigned long long>(t.samples), t.min_size, t.max_size);
    if (t.link.width != 0) {
      std::printf("Track %u holds the size of the next sample at offset %u (%llu of %llu)\n", t.id,
                  t.link.offset, static_cast<unsigned long long>(t.link_held),
                  static_cast<unsigned long long>(t.link_of));
    }
    if (!t.classes.empty()) {
      std::printf("Track %u samples begin in %u way(s)\n", t.id,
                  static_cast<unsigned>(t.classes.size()));
    }
  }
  const VideoModel& v = model.video;
  std::printf(
      "Video: %u-byte NAL lengths, %u NAL header(s), %u kind(s) of first unit, units "
      "up to %u bytes\n",
      v.nal_length_size, static_cast<unsigned>(v.headers.count()),
      static_cast<unsigned>(v.first_units.size()), v.max_unit);
  if (v.codec == VideoCodec::Hevc) print_hevc_summary(v);
  if (model.audio.track == 0) std::printf("Audio: none\n");
}

const char* sample_kind(const AudioModel& a) {
  if (a.float_samples) return "float";
  return a.signed_samples ? "signed" : "unsigned";
}

void print_audio(const AudioModel& a) {
  if (a.role == TrackRole::Pcm) {
    std::printf("Audio track %u: PCM, %u channel(s), %u-bit %s %s, %u Hz\n", a.track, a.channels,
                a.bits, sample_kind(a), a.little_endian ? "little-endian" : "big-endian", a.rate);
    return;
  }
  const int type = read_asc_head(a.config[0], a.config[1]).object_type;
  std::printf("Audio track %u: %s (object type %d), %u frame size(s), %u frame start(s)\n", a.track,
              audio_object_type_name(type), type, static_cast<unsigned>(a.sizes.size()),
              static_cast<unsigned>(a.starts2.size()));
}

void print_skipped(const SkippedAudio& s) {
  const std::string entry = printable(s.entry_type);
  switch (s.why) {
    case AudioSkip::ObjectType:
      std::printf("Audio track %u: '%s' holds %s (object type %d), which is not written\n", s.track,
                  entry.c_str(), audio_object_type_name(s.object_type), s.object_type);
      break;
    case AudioSkip::ConfigTooLarge:
      std::printf("Audio track %u: '%s' has an AudioSpecificConfig of %llu bytes, not written\n",
                  s.track, entry.c_str(), static_cast<unsigned long long>(s.size));
      break;
    case AudioSkip::FrameTooLarge:
      std::printf(
          "Audio track %u: '%s' has a sample of %llu bytes, larger than AAC frames, not "
          "written\n",
          s.track, entry.c_str(), static_cast<unsigned long long>(s.size));
      break;
    case AudioSkip::ConfigCutShort:
      std::printf("Audio track %u: '%s' has an AudioSpecificConfig cut short, not written\n",
                  s.track, entry.c_str());
      break;
    case AudioSkip::UnindexedRate:
      std::printf("Audio track %u: '%s' has a sampling rate ADTS cannot name, not written\n",
                  s.track, entry.c_str());
      break;
    case AudioSkip::NoDecoderConfig:
      std::printf("Audio track %u: '%s' has no MPEG-4 audio configuration, not written\n", s.track,
                  entry.c_str());
      break;
    case AudioSkip::PcmFormat:
      std::printf("Audio track %u: '%s' holds PCM in a layout that is not written\n", s.track,
                  entry.c_str());
      break;
    case AudioSkip::UnknownEntry:
    case AudioSkip::None:
      std::printf("Audio track %u: '%s' is an audio format that is not written\n", s.track,
                  entry.c_str());
      break;
  }
}

void print_box_error(const BoxTreeError& error, const char* input_name) {
  switch (error.status) {
    case BoxTreeStatus::NoMovie:
      std::printf("Cannot find 'moov' atom in '%s'\n", input_name);
      break;
    case BoxTreeStatus::MovieTooLarge:
      std::printf("Too large 'moov' atom in '%s'\n", input_name);
      break;
    case BoxTreeStatus::Damaged:
      std::printf("Damaged '%s' atom at 0x%llX in '%s'\n", printable(error.box).c_str(),
                  static_cast<unsigned long long>(error.offset), input_name);
      break;
    case BoxTreeStatus::ReadFailed:
    case BoxTreeStatus::Ok:
      std::printf("Cannot read '%s'\n", input_name);
      break;
  }
}

void print_learn_error(const LearnError& error, const char* input_name) {
  switch (error.status) {
    case LearnStatus::NoVideo:
      std::printf("No H.264 or HEVC video track in '%s'\n", input_name);
      break;
    case LearnStatus::VideoConfigTooLarge:
      std::printf("The %s of track %u in '%s' has %llu bytes, more than the %u it may hold\n",
                  error.codec == VideoCodec::Hevc ? "hvcC" : "avcC", error.track, input_name,
                  static_cast<unsigned long long>(error.size),
                  static_cast<unsigned>(kMaxVideoConfigBytes));
      break;
    case LearnStatus::RepeatedTrackId:
      std::printf("Two tracks of '%s' have the id %u\n", input_name, error.track);
      break;
    case LearnStatus::SamplesOverlap:
      std::printf(
          "The samples of track %u in '%s' overlap others or claim more bytes than it holds\n",
          error.track, input_name);
      break;
    case LearnStatus::TooManyTracks:
      std::printf("Too many tracks in '%s'\n", input_name);
      break;
    case LearnStatus::TablesDisagree:
      std::printf("The sample tables of track %u disagree in '%s'\n", error.track, input_name);
      break;
    case LearnStatus::OutsideFile:
      std::printf("Track %u has samples outside '%s'\n", error.track, input_name);
      break;
    case LearnStatus::TooManySamples:
      std::printf("Too many samples in track %u of '%s'\n", error.track, input_name);
      break;
    case LearnStatus::ReadFailed:
    case LearnStatus::Ok:
      std::printf("Cannot read '%s'\n", input_name);
      break;
  }
}

}  // namespace

bool write_model_file(const InputWindow& input, const std::string& text) {
  OutputFile file;
  if (!open_output(file, kModelFileName, input)) {
    std::printf("Cannot write '%s'\n", kModelFileName);
    return false;
  }
  std::printf("Writing '%s'...\n", kModelFileName);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!file.write({bytes, text.size()}) || !file.close()) {
    std::printf("Cannot write '%s'\n", kModelFileName);
    return false;
  }
  return true;
}

int learn_reference_model(InputWindow& input, const char* input_name) {
  StreamModel model;
  return learn_and_save_model(input, input_name, model) ? kExitSuccess : kExitFailure;
}

bool learn_and_save_model(InputWindow& input, const char* input_name, StreamModel& model) {
  std::printf("Reading the tracks of '%s'...\n", input_name);
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  if (!read_movie(input, tracks, box_error)) {
    print_box_error(box_error, input_name);
    return false;
  }
  LearnError learn_error;
  std::vector<SkippedAudio> skipped;
  if (!learn_model(input, tracks, model, learn_error, &skipped)) {
    print_learn_error(learn_error, input_name);
    return false;
  }
  model.reference = printable(input_name).substr(0, kMaxTextChars);
  model.reference_size = input.size;
  print_summary(model);
  if (model.audio.track != 0) print_audio(model.audio);
  for (const AudioModel& a : model.more_audio) print_audio(a);
  for (const SkippedAudio& s : skipped) print_skipped(s);
  std::string text;
  ModelFault fault;
  if (!format_model(model, text, fault)) {
    std::printf("Cannot write a model of '%s': its '%s' record has %s\n", input_name, fault.record,
                fault.reason);
    return false;
  }
  return write_model_file(input, text);
}

}  // namespace vidsalvage
