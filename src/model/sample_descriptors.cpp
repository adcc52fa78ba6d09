#include "model/sample_descriptors.h"

#include <map>

namespace vidsalvage {
namespace {

constexpr double kMinDescribedShare = 0.8;
constexpr std::uint32_t kMaxDescriptorBytes = 64;
constexpr std::uint64_t kMinDescribed = 8;

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

std::uint32_t be16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 8 | b[at + 1];
}

// The most common value and how often it came.
template <typename Key>
std::pair<Key, std::uint64_t> most_common(const std::map<Key, std::uint64_t>& counts) {
  std::pair<Key, std::uint64_t> best{};
  for (const auto& [key, count] : counts) {
    if (count > best.second) best = {key, count};
  }
  return best;
}

// Calls `visit` with every stretch between two video samples of at least
// `length` bytes (and 8).
template <typename Visit>
void for_each_stretch(const ChainScan& scan, std::uint32_t length, Visit visit) {
  for (const MediaBlock& block : scan.blocks) {
    for (std::size_t i = 1; i < block.chains.size(); ++i) {
      const std::uint32_t from = block.chains[i - 1].end;
      const std::uint32_t to = block.chains[i].start;
      if (to - from >= length && to - from >= 8) visit(block, from, to);
    }
  }
}

}  // namespace

DescriptorLayout find_descriptors(const ChainScan& scan) {
  // How far before the video sample its size lies, over every stretch.
  std::map<std::uint32_t, std::uint64_t> distances;
  std::uint64_t stretches = 0;
  for (const MediaBlock& block : scan.blocks) {
    for (std::size_t i = 1; i < block.chains.size(); ++i) {
      const std::uint32_t from = block.chains[i - 1].end;
      const std::uint32_t to = block.chains[i].start;
      if (to - from < 8) continue;
      ++stretches;
      const std::uint32_t size = block.chains[i].end - block.chains[i].start;
      const std::uint32_t first = to - from > kMaxDescriptorBytes ? to - kMaxDescriptorBytes : from;
      for (std::uint32_t at = first; at + 4 <= to; ++at) {
        if (be32(block.bytes, at) == size) ++distances[to - at];
      }
    }
  }
  const auto [distance, described] = most_common(distances);
  if (stretches < kMinDescribed ||
      static_cast<double>(described) < kMinDescribedShare * static_cast<double>(stretches)) {
    return {};
  }
  // The descriptor's start: among the points before the video samples where the
  // stretches agree on two bytes, the one whose sizes lead through the most
  // stretches from their first byte to the video sample.
  DescriptorLayout best;
  std::uint64_t best_cuts = 0;
  for (std::uint32_t length = distance; length <= kMaxDescriptorBytes; ++length) {
    std::map<std::uint32_t, std::uint64_t> heads;
    for_each_stretch(scan, length, [&](const MediaBlock& block, std::uint32_t, std::uint32_t to) {
      ++heads[be16(block.bytes, to - length)];
    });
    if (static_cast<double>(most_common(heads).second) <
        kMinDescribedShare * static_cast<double>(stretches)) {
      continue;
    }
    const DescriptorLayout layout = {true, length, length - distance};
    std::uint64_t cuts = 0;
    DescribedStretch cut;
    for_each_stretch(scan, length,
                     [&](const MediaBlock& block, std::uint32_t from, std::uint32_t to) {
                       if (cut_described(block, from, to, layout, cut)) ++cuts;
                     });
    if (cuts > best_cuts) {
      best = layout;
      best_cuts = cuts;
    }
  }
  if (static_cast<double>(best_cuts) < kMinDescribedShare * static_cast<double>(stretches))
    return {};
  return best;
}

bool cut_described(const MediaBlock& block, std::uint32_t from, std::uint32_t to,
                   const DescriptorLayout& layout, DescribedStretch& out) {
  out = DescribedStretch{};
  std::uint32_t at = from;
  while (to - at >= layout.length) {
    out.descriptors.push_back({block.offset + at, layout.length});
    if (to - at == layout.length) return true;
    const std::uint32_t size = be32(block.bytes, at + layout.field);
    const std::uint32_t sample = at + layout.length;
    // The sample must leave room for the descriptor of the video sample.
    if (size == 0 || size > to - sample || to - sample - size < layout.length) return false;
    out.samples.push_back({block.offset + sample, size});
    at = sample + size;
  }
  return false;
}

}  // namespace vidsalvage
