#pragma once
// The first step of inferring a model from a damaged recording alone: the runs
// of length-prefixed NAL units in its media data. A run that chains from one
// unit to the next and opens a picture is a video sample; the bytes between two
// runs belong to the other tracks, the audio.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "io/input_window.h"
#include "model/stream_model.h"

namespace vidsalvage {

// The most media data read for the inference, spread over the file.
inline constexpr std::int64_t kInferenceSampleBytes = 64 * 1024 * 1024;
// Pieces of a larger file read, each this long.
inline constexpr std::int64_t kInferenceBlockBytes = 8 * 1024 * 1024;
// No unit of a recording is larger: a 4K key frame stays far below.
inline constexpr std::uint32_t kMaxChainUnitBytes = 16 * 1024 * 1024;

struct ChainUnit {
  std::uint32_t offset = 0;  // of the unit's header byte, in the block
  std::uint32_t length = 0;
};

struct NalChain {
  std::uint32_t start = 0;  // of the first length field, in the block
  std::uint32_t end = 0;    // behind the last unit
  std::vector<ChainUnit> units;
};

// A stretch of the media data read whole, with the chains found in it in order.
struct MediaBlock {
  std::int64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<NalChain> chains;

  std::span<const std::uint8_t> unit(const ChainUnit& u) const {
    return std::span<const std::uint8_t>(bytes).subspan(u.offset, u.length);
  }
};

// Whether a slice unit (header byte first) reads under the parameter sets found.
using SliceCheck = std::function<bool(std::span<const std::uint8_t> unit)>;

// Every chain in `bytes` whose units have `length_size`-byte lengths and the
// unit headers of `codec`, found from the start on and never overlapping; with
// `slice_ok`, only slices it accepts.
std::vector<NalChain> find_chains(std::span<const std::uint8_t> bytes, std::uint32_t length_size,
                                  VideoCodec codec, const SliceCheck& slice_ok = {});

// Where the blocks read lie: the whole media data when it is no larger than
// kInferenceSampleBytes, else blocks of kInferenceBlockBytes spread evenly from
// its first byte to its last. Offsets in file order.
std::vector<std::int64_t> block_offsets(std::int64_t media_start, std::int64_t media_end,
                                        std::int64_t& block_bytes);

struct ChainScan {
  VideoCodec codec = VideoCodec::Avc;
  std::uint32_t nal_length_size = 4;
  std::int64_t media_start = 0;
  std::int64_t media_end = 0;
  std::vector<MediaBlock> blocks;
  std::uint64_t chains = 0;  // of the codec and length size chosen
};

enum class ChainStatus { Found, NoChains, Hevc, ReadFailed };

// Reads the media data (the body of the first mdat; the whole file when no box
// leads up to one) in blocks and finds the H.264 chains in them, trying 4-, 2- and
// 1-byte lengths. Hevc when HEVC units chain far more often than H.264 ones;
// NoChains when neither does; ReadFailed when a read of the input failed.
ChainStatus collect_chains(InputWindow& input, ChainScan& scan);

// The chains of every block found again, the slices checked: chains of bytes
// that only looked like units give way to the samples they hid.
void check_chains(ChainScan& scan, const SliceCheck& slice_ok);

}  // namespace vidsalvage
