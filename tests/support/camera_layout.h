#pragma once
// Recordings laid out as action cameras lay them out, built from an ffmpeg-made
// intact recording: between the video and audio samples lie the samples of other
// tracks. A 16-byte descriptor stands in front of every other sample and holds the
// size of the sample after it at bytes 4-7; a 4-byte timecode sample opens the
// media data; telemetry samples of 3-8 KB (KLV items under a "DEVC" item) follow
// about once a second. The result is an intact file with a correct moov, one trak
// per track, from which a model can be learned, plus its damaged twins.

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage::test {

enum class CameraTrack { Video, Audio, Descriptor, Timecode, Telemetry };

struct CameraSample {
  CameraTrack track = CameraTrack::Video;
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

struct CameraRecording {
  Bytes file;                         // the intact recording
  std::int64_t media_offset = 0;      // the first byte of mdat's body
  std::int64_t movie_offset = 0;      // the moov box, after the media data
  std::vector<CameraSample> samples;  // every sample, in file order
  std::vector<Bytes> video_units;     // the NAL units of the video samples, in order
  std::vector<Bytes> audio_frames;    // the audio samples (AAC frames, PCM chunks), in order
};

// How the audio track's sample entry says what its PCM samples are. The samples
// stay the source's little-endian 16-bit integers; only the entry changes.
enum class PcmEntry {
  AsSource,
  Lpcm,  // 'lpcm' with a version 2 sound description (QuickTime), as a phone writes it
  Ipcm,  // 'ipcm' with its pcmC box (ISO/IEC 23003-5)
};

struct CameraLayoutOptions {
  bool descriptors = true;
  bool timecode = true;
  bool telemetry = true;
  // The sequence number of the first descriptor; bytes 8-12 of a descriptor are
  // 00 and the 32-bit sequence number, so number 0x209 puts 00 00 00 02 09 in it.
  std::uint32_t first_sequence = 0x209 - 3;
  std::uint32_t seed = 1;
  // The source's samples, this many times over (benchmarks); from the second time
  // on the moov drops the tables that count samples of one pass (ctts, stss, ...).
  int repeats = 1;
  bool keep_media = true;  // fill video_units and audio_frames
  // For a source with 16-bit little-endian PCM ('sowt'): the entry to write.
  PcmEntry pcm_entry = PcmEntry::AsSource;
};

// Rebuilds `source` (H.264 with AAC or PCM, one video and one audio track) in the
// camera layout. Throws std::runtime_error when the source is not such a file.
CameraRecording build_camera_recording(const Bytes& source,
                                       const CameraLayoutOptions& options = {});

// An ffmpeg MP4 whose 8-byte free box and mdat header become one mdat header
// with the 64-bit size form: size field 1, "mdat", 8-byte size.
Bytes with_large_media_size(const Bytes& ffmpeg_mp4);

// Damaged twins: everything in front of the moov box (what a camera leaves when
// it dies before finishing the file), ...
Bytes cut_movie(const CameraRecording& recording);
// ... the same cut again inside a sample about three quarters into the media data, ...
Bytes cut_inside_sample(const CameraRecording& recording);
// ... and the moov cut with `count` bytes in the middle of the media data
// overwritten by zeros or by pseudo-random bytes.
Bytes overwrite_middle(const CameraRecording& recording, std::size_t count, bool random);

// The offset at which overwrite_middle begins its damage.
std::int64_t middle_of_media(const CameraRecording& recording);

}  // namespace vidsalvage::test
