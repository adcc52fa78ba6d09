#include "model/audio_inference.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace vidsalvage {
namespace {

// Share of stretches that must open with the dominant first element.
constexpr double kMinElementShare = 0.8;
constexpr std::uint32_t kMinFrameBytes = 8;
// Ratios this close (relative) cannot be told apart by counting frames.
constexpr double kCloseRatio = 0.01;

// ISO/IEC 14496-3 Table 4.85: id_syn_ele in the first three bits.
constexpr std::uint8_t kSingleChannel = 0;
constexpr std::uint8_t kChannelPair = 1;

std::uint32_t head3(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 16 | std::uint32_t{bytes[at + 1]} << 8 | bytes[at + 2];
}

struct RateCandidate {
  std::uint32_t rate;
  std::uint32_t numerator;
  std::uint32_t denominator;
};
// Most common first: a tie goes to the earlier.
constexpr RateCandidate kRates[] = {
    {48000, 30, 1},       {48000, 30000, 1001}, {48000, 25, 1},  {48000, 60, 1},
    {48000, 60000, 1001}, {48000, 50, 1},       {48000, 24, 1},  {48000, 24000, 1001},
    {44100, 30, 1},       {44100, 30000, 1001}, {44100, 25, 1},  {44100, 60, 1},
    {44100, 24, 1},       {48000, 120, 1},      {48000, 100, 1},
};

// ISO/IEC 14496-3 Table 1.16.
constexpr std::uint32_t kSamplingRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                            22050, 16000, 12000, 11025, 8000,  7350};

// Cuts one stretch at the starts seen, keeping frames of kMinFrameBytes or more.
void cut_stretch(const AudioStretch& s, const std::vector<std::uint32_t>& starts,
                 std::vector<AudioFrame>& frames) {
  std::size_t from = 0;
  for (std::size_t at = kMinFrameBytes; at + 3 <= s.bytes.size(); ++at) {
    if (at - from < kMinFrameBytes) continue;
    if (!std::binary_search(starts.begin(), starts.end(), head3(s.bytes, at))) continue;
    frames.push_back(
        {s.offset + static_cast<std::int64_t>(from), static_cast<std::uint32_t>(at - from)});
    from = at;
  }
  frames.push_back({s.offset + static_cast<std::int64_t>(from),
                    static_cast<std::uint32_t>(s.bytes.size() - from)});
}

}  // namespace

namespace {

// The element most stretches begin with, when it is a single or a pair channel
// element that at least kMinElementShare of them begin with; -1 otherwise.
int common_element(const std::vector<AudioStretch>& stretches) {
  std::uint64_t elements[8] = {};
  std::uint64_t long_enough = 0;
  for (const AudioStretch& s : stretches) {
    if (s.bytes.size() < kMinFrameBytes) continue;
    ++long_enough;
    ++elements[s.bytes[0] >> 5];
  }
  if (long_enough == 0) return -1;
  const std::uint8_t element =
      elements[kChannelPair] > elements[kSingleChannel] ? kChannelPair : kSingleChannel;
  if (static_cast<double>(elements[element]) <
      kMinElementShare * static_cast<double>(long_enough)) {
    return -1;
  }
  return element;
}

}  // namespace

AacInference aac_of_frames(const std::vector<AudioStretch>& frames) {
  AacInference out;
  const int element = common_element(frames);
  if (element < 0) return out;
  for (const AudioStretch& f : frames) {
    if (f.bytes.size() < kMinFrameBytes || (f.bytes[0] >> 5) != element) continue;
    out.frames.push_back({f.offset, static_cast<std::uint32_t>(f.bytes.size())});
  }
  out.stretches = frames.size();
  out.found = !out.frames.empty();
  out.channel_config = element == kChannelPair ? 2 : 1;
  return out;
}

AacInference infer_aac(const std::vector<AudioStretch>& stretches) {
  AacInference out;
  const int element = common_element(stretches);
  if (element < 0) return out;
  std::map<std::uint32_t, std::uint64_t> starts;
  for (const AudioStretch& s : stretches) {
    if (s.bytes.size() >= kMinFrameBytes) ++starts[head3(s.bytes, 0)];
  }
  std::vector<std::uint32_t> common;  // sorted, as the map is
  for (const auto& [start, count] : starts) {
    if (count >= 2 && static_cast<int>(start >> 21) == element) common.push_back(start);
  }
  for (const AudioStretch& s : stretches) {
    if (s.bytes.size() < kMinFrameBytes || (s.bytes[0] >> 5) != element) continue;
    cut_stretch(s, common, out.frames);
    ++out.stretches;
  }
  out.found = !out.frames.empty();
  out.channel_config = element == kChannelPair ? 2 : 1;
  return out;
}

RatePick pick_rates(double frames_per_picture) {
  RatePick best;
  if (!(frames_per_picture > 0)) {
    best.fps_guessed = true;
    best.rate_guessed = true;
    return best;
  }
  const auto error_of = [&](const RateCandidate& c) {
    const double expected = c.rate / 1024.0 * c.denominator / static_cast<double>(c.numerator);
    return std::fabs(std::log(frames_per_picture / expected));
  };
  const RateCandidate* chosen = &kRates[0];
  for (const RateCandidate& c : kRates) {
    if (error_of(c) < error_of(*chosen)) chosen = &c;
  }
  best = {chosen->rate, chosen->numerator, chosen->denominator, false, false};
  for (const RateCandidate& c : kRates) {
    if (&c == chosen || error_of(c) - error_of(*chosen) >= kCloseRatio) continue;
    if (c.rate != chosen->rate) best.rate_guessed = true;
    if (c.numerator * chosen->denominator != chosen->numerator * c.denominator) {
      best.fps_guessed = true;
    }
  }
  return best;
}

std::vector<std::uint8_t> aac_lc_config(std::uint32_t sampling_rate, std::uint32_t channel_config) {
  std::uint32_t index = 3;
  for (std::uint32_t i = 0; i < std::size(kSamplingRates); ++i) {
    if (kSamplingRates[i] == sampling_rate) index = i;
  }
  constexpr std::uint32_t kAacLc = 2;
  const std::uint32_t bits = kAacLc << 11 | index << 7 | (channel_config & 15) << 3;
  return {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

}  // namespace vidsalvage
