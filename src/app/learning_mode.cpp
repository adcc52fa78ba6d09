// The --model mode: learns an intact recording and writes reference.model, with
// the summary of what it learned and a message for each way learning can fail.

#include <cstdio>
#include <string>
#include <string_view>

#include "app/driver.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "model/model_learning.h"
#include "model/stream_model.h"
#include "mp4/box_tree.h"

namespace vidsalvage {
namespace {

const char* role_text(TrackRole role) {
  switch (role) {
    case TrackRole::Video:
      return "H.264 video";
    case TrackRole::Aac:
      return "AAC audio";
    case TrackRole::Pcm:
      return "PCM audio";
    case TrackRole::Other:
      return "skipped";
  }
  return "skipped";
}

// The model's name for the input: its printable characters.
std::string printable(const char* text) {
  std::string out;
  for (const char* p = text; *p != 0; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    out += c >= 0x20 && c < 0x7F ? *p : '?';
  }
  return out;
}

std::string printable(std::string_view code) { return printable(std::string(code).c_str()); }

void print_summary(const StreamModel& model) {
  for (const ModelTrack& t : model.tracks) {
    std::printf("Track %u '%s' '%s': %s, %llu samples of %u to %u bytes\n", t.id,
                printable(t.handler).c_str(), printable(t.entry_type).c_str(), role_text(t.role),
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
  const AudioModel& a = model.audio;
  if (a.track == 0) {
    std::printf("Audio: none\n");
  } else if (a.role == TrackRole::Pcm) {
    std::printf("Audio: PCM, %u channel(s), %u bits, %u Hz\n", a.channels, a.bits, a.rate);
  } else {
    std::printf("Audio: AAC, %u frame size(s), %u frame start(s)\n",
                static_cast<unsigned>(a.sizes.size()), static_cast<unsigned>(a.starts2.size()));
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
      std::printf("No H.264 video track in '%s'\n", input_name);
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

int learn_reference_model(InputWindow& input, const char* input_name) {
  std::printf("Reading the tracks of '%s'...\n", input_name);
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  if (!read_movie(input, tracks, box_error)) {
    print_box_error(box_error, input_name);
    return kExitFailure;
  }
  StreamModel model;
  LearnError learn_error;
  if (!learn_model(input, tracks, model, learn_error)) {
    print_learn_error(learn_error, input_name);
    return kExitFailure;
  }
  model.reference = printable(input_name);
  model.reference_size = input.size;
  print_summary(model);
  OutputFile file;
  if (!open_output(file, kModelFileName, input)) {
    std::printf("Cannot write '%s'\n", kModelFileName);
    return kExitFailure;
  }
  std::printf("Writing '%s'...\n", kModelFileName);
  const std::string text = format_model(model);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!file.write({bytes, text.size()}) || !file.close()) {
    std::printf("Cannot write '%s'\n", kModelFileName);
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace vidsalvage
