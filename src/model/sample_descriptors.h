#pragma once
// Descriptors some cameras write in front of every sample of every track, each
// holding the size of the sample after it: found in front of the video samples,
// they cut the bytes between those into the other tracks' samples.

#include <cstdint>
#include <vector>

#include "model/nal_chains.h"

namespace vidsalvage {

struct DescriptorLayout {
  bool found = false;
  std::uint32_t length = 0;  // of each descriptor
  std::uint32_t field = 0;   // where in it the next sample's size lies, 4 bytes big-endian
};

// The layout when at least kMinDescribedShare of the stretches in front of video
// samples end in a descriptor giving that sample's size, and the descriptors
// begin with the same two bytes.
DescriptorLayout find_descriptors(const ChainScan& scan);

struct DescribedSample {
  std::int64_t offset = 0;  // in the file
  std::uint32_t size = 0;
};

struct DescribedStretch {
  std::vector<DescribedSample> descriptors;
  std::vector<DescribedSample> samples;  // the sample after each descriptor but the last
};

// The stretch [from, to) of `block` cut by the descriptors, the last one in front
// of the video sample at `to`. False when the sizes do not lead there.
bool cut_described(const MediaBlock& block, std::uint32_t from, std::uint32_t to,
                   const DescriptorLayout& layout, DescribedStretch& out);

}  // namespace vidsalvage
