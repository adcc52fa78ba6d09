#pragma once
// Intact recordings made in code: the references whose models the model walk
// runs with, and the seeds of the box tree, the learning and the walks.

#include <cstdint>
#include <vector>

namespace vidsalvage::fuzz {

enum class ReferenceAudio { Aac, Pcm };

// A small camera's recording, its moov behind the media data: 20 samples of a
// 320x240 H.264 stream (delimiters, an IDR, P and B slices), an audio sample
// after each, a 16-byte descriptor announcing the size of every sample, and KLV
// telemetry every fifth time.
std::vector<std::uint8_t> camera_reference(ReferenceAudio audio);

// The recording in front of its last moov box, as a camera leaves it when it
// dies before writing its index.
std::vector<std::uint8_t> without_movie(const std::vector<std::uint8_t>& recording);

}  // namespace vidsalvage::fuzz
