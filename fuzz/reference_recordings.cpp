#include "fuzz/reference_recordings.h"

#include <algorithm>
#include <string_view>

#include "support/bytes.h"
#include "support/camera_bytes.h"
#include "support/movie_boxes.h"

namespace vidsalvage::fuzz {
namespace {

using test::Bytes;

enum Track : std::uint32_t { kVideo = 1, kAudio = 2, kDescriptor = 3, kTelemetry = 4 };

constexpr int kSamplesPerTrack = 20;
constexpr std::size_t kPcmChunkBytes = 384;  // 4 ms of 16-bit stereo at 48 kHz

test::TrackLayout layout_of(std::uint32_t track, ReferenceAudio audio) {
  test::TrackLayout layout;
  layout.id = track;
  switch (track) {
    case kVideo:
      layout.entry_fields = test::visual_entry_fields();
      layout.entry_children = test::box("avcC", test::camera_avcc());
      break;
    case kAudio:
      layout.handler = "soun";
      layout.timescale = 48000;
      if (audio == ReferenceAudio::Aac) {
        layout.entry = "mp4a";
        layout.entry_fields = test::sound_entry_fields(2, 16, 48000);
        layout.entry_children = test::aac_esds_box({0x11, 0x90});
      } else {
        layout.entry = "sowt";
        layout.entry_fields = test::sound_entry_fields(2, 16, 48000);
      }
      break;
    default:
      layout.handler = "meta";
      layout.entry = track == kDescriptor ? "camd" : "gpmd";
      break;
  }
  return layout;
}

Bytes video_sample(int i) {
  if (i == 0) return test::concat({test::delimiter(), test::idr_slice(300)});
  const auto size = static_cast<std::size_t>(100 + 7 * i);
  if (i % 3 == 2) return test::concat({test::delimiter(), test::b_slice(size / 2)});
  return test::concat({test::delimiter(), test::p_slice(size)});
}

Bytes audio_sample(int i, ReferenceAudio audio) {
  const auto fill = static_cast<std::uint8_t>(0x60 + i);
  if (audio == ReferenceAudio::Pcm) return Bytes(kPcmChunkBytes, fill);
  return test::aac_frame(static_cast<std::size_t>(200 + (i % 3) * 10), fill);
}

}  // namespace

std::vector<std::uint8_t> camera_reference(ReferenceAudio audio) {
  test::RecordingBuilder builder;
  std::uint8_t sequence = 0;
  const auto announce = [&](Track track, const Bytes& sample) {
    builder.add(kDescriptor,
                test::descriptor(static_cast<std::uint8_t>(track), sample.size(), sequence++));
    builder.add(track, sample);
  };
  for (int i = 0; i < kSamplesPerTrack; ++i) {
    announce(kVideo, video_sample(i));
    announce(kAudio, audio_sample(i, audio));
    if (i % 5 == 4) {
      announce(kTelemetry, test::telemetry_sample(static_cast<std::uint16_t>(400 + 4 * i)));
    }
  }
  return builder.finish([audio](std::uint32_t track) { return layout_of(track, audio); });
}

std::vector<std::uint8_t> without_movie(const std::vector<std::uint8_t>& recording) {
  const std::string_view moov = "moov";
  const auto at = std::search(recording.rbegin(), recording.rend(), moov.rbegin(), moov.rend());
  if (at == recording.rend()) return recording;
  // The box begins with its 4-byte size, in front of the type.
  const auto type_at = static_cast<std::size_t>(recording.rend() - at) - moov.size();
  const std::size_t box_at = type_at >= 4 ? type_at - 4 : 0;
  return {recording.begin(), recording.begin() + static_cast<std::ptrdiff_t>(box_at)};
}

}  // namespace vidsalvage::fuzz
