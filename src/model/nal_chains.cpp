#include "model/nal_chains.h"

#include <algorithm>

#include "codec/bit_reader.h"
#include "codec/sps_parser.h"
#include "mp4/top_level_boxes.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kMaxChainUnits = 1024;  // slices, SEI and the rest of one picture
// A length size is taken when it finds this many chains; otherwise the size that
// found the most.
constexpr std::uint64_t kEnoughChains = 16;
constexpr std::uint64_t kFewChains = 3;

// H.264 Table 7-1: the types a recorder writes in a sample, with the nal_ref_idc
// each must or must not have.
bool avc_header_valid(std::uint8_t header) {
  if ((header & 0x80) != 0) return false;
  const int type = header & 0x1F;
  const bool reference = (header & 0x60) != 0;
  switch (type) {
    case 1:
      return true;
    case 5:
    case 7:
    case 8:
      return reference;
    case 6:
    case 9:
    case 12:
      return !reference;
    default:
      return false;
  }
}

bool avc_unit_valid(std::span<const std::uint8_t> unit) {
  if (unit.empty() || !avc_header_valid(unit[0])) return false;
  const int type = unit[0] & 0x1F;
  // An access unit delimiter holds primary_pic_type and the stop bit.
  if (type == 9) return unit.size() == 2 && (unit[1] & 0x1F) == 0x10;
  if (type != 1 && type != 5) return unit.size() >= 2;
  NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
  std::uint32_t first_mb = 0;
  std::uint32_t slice_type = 0;
  std::uint32_t pps_id = 0;
  return reader.read_ue_upto(kLargestFrameMbs - 1, first_mb) &&
         reader.read_ue_upto(9, slice_type) && reader.read_ue_upto(255, pps_id) &&
         (type != 5 || slice_type % 5 == 2 || slice_type % 5 == 4);
}

// H.265 7.3.1.2: forbidden_zero_bit, the type, nuh_layer_id 0, a temporal id.
bool hevc_unit_valid(std::span<const std::uint8_t> unit) {
  if (unit.size() < 3 || (unit[0] & 0x81) != 0 || (unit[1] & 0xF8) != 0 || (unit[1] & 7) == 0) {
    return false;
  }
  const int type = unit[0] >> 1;
  return is_slice_type(VideoCodec::Hevc, type) || (type >= 32 && type <= 40);
}

bool is_slice_unit(std::span<const std::uint8_t> unit, VideoCodec codec) {
  return is_slice_type(codec, nal_type(codec, unit[0]));
}

// Whether the slice opens a picture: first_mb_in_slice 0, or HEVC's
// first_slice_segment_in_pic_flag.
bool opens_picture(std::span<const std::uint8_t> unit, VideoCodec codec) {
  if (codec == VideoCodec::Hevc) return (unit[2] & 0x80) != 0;
  return unit.size() > 1 && (unit[1] & 0x80) != 0;
}

std::uint32_t read_length(std::span<const std::uint8_t> bytes, std::size_t at,
                          std::uint32_t length_size) {
  std::uint32_t length = 0;
  for (std::uint32_t i = 0; i < length_size; ++i) length = length << 8 | bytes[at + i];
  return length;
}

// The unit whose length field is at `at`, when it lies whole in `bytes` and
// looks like one of the codec's.
bool unit_at(std::span<const std::uint8_t> bytes, std::size_t at, std::uint32_t length_size,
             VideoCodec codec, ChainUnit& unit) {
  if (bytes.size() - at < length_size) return false;
  const std::uint32_t length = read_length(bytes, at, length_size);
  const std::size_t body = at + length_size;
  if (length == 0 || length > kMaxChainUnitBytes || length > bytes.size() - body) return false;
  const std::span<const std::uint8_t> u = bytes.subspan(body, length);
  if (!(codec == VideoCodec::Hevc ? hevc_unit_valid(u) : avc_unit_valid(u))) return false;
  unit = {static_cast<std::uint32_t>(body), length};
  return true;
}

// The chain from `at`: units back to back, the first slice opening a picture
// and every later one continuing it.
bool chain_at(std::span<const std::uint8_t> bytes, std::size_t at, std::uint32_t length_size,
              VideoCodec codec, const SliceCheck& slice_ok, NalChain& chain) {
  chain = NalChain{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(at), {}};
  bool has_slice = false;
  ChainUnit unit;
  std::size_t pos = at;
  while (chain.units.size() < kMaxChainUnits && unit_at(bytes, pos, length_size, codec, unit)) {
    const std::span<const std::uint8_t> u = bytes.subspan(unit.offset, unit.length);
    if (is_slice_unit(u, codec)) {
      if (opens_picture(u, codec) == has_slice) break;  // a second picture, or none opened
      if (slice_ok && !slice_ok(u)) break;
      has_slice = true;
    }
    chain.units.push_back(unit);
    pos = std::size_t{unit.offset} + unit.length;
  }
  // Units after the picture's last slice (SEI of the next) belong to the next sample.
  while (!chain.units.empty() &&
         !is_slice_unit(bytes.subspan(chain.units.back().offset, 1), codec)) {
    chain.units.pop_back();
  }
  if (!has_slice || chain.units.empty()) return false;
  chain.end = chain.units.back().offset + chain.units.back().length;
  return true;
}

}  // namespace

std::vector<NalChain> find_chains(std::span<const std::uint8_t> bytes, std::uint32_t length_size,
                                  VideoCodec codec, const SliceCheck& slice_ok) {
  std::vector<NalChain> chains;
  NalChain chain;
  for (std::size_t at = 0; at < bytes.size();) {
    if (chain_at(bytes, at, length_size, codec, slice_ok, chain)) {
      at = chain.end;
      chains.push_back(std::move(chain));
    } else {
      ++at;
    }
  }
  return chains;
}

std::vector<std::int64_t> block_offsets(std::int64_t media_start, std::int64_t media_end,
                                        std::int64_t& block_bytes) {
  const std::int64_t total = media_end - media_start;
  if (total <= 0) return {};
  if (total <= kInferenceSampleBytes) {
    block_bytes = total;
    return {media_start};
  }
  block_bytes = kInferenceBlockBytes;
  constexpr std::int64_t kBlocks = kInferenceSampleBytes / kInferenceBlockBytes;
  std::vector<std::int64_t> offsets;
  const std::int64_t step = (total - kInferenceBlockBytes) / (kBlocks - 1);
  for (std::int64_t i = 0; i < kBlocks; ++i) offsets.push_back(media_start + i * step);
  return offsets;
}

namespace {

std::uint64_t count_chains(const std::vector<MediaBlock>& blocks, std::uint32_t length_size,
                           VideoCodec codec) {
  std::uint64_t count = 0;
  for (const MediaBlock& b : blocks) count += find_chains(b.bytes, length_size, codec).size();
  return count;
}

}  // namespace

ChainStatus collect_chains(InputWindow& input, ChainScan& scan) {
  const MediaBox media = find_media_box(input);
  if (input_failed(input)) return ChainStatus::ReadFailed;
  scan.media_start = media.body == kNotFound ? 0 : media.body;
  scan.media_end = media.end == kNotFound ? input.size : media.end;
  std::int64_t block_bytes = 0;
  for (const std::int64_t offset : block_offsets(scan.media_start, scan.media_end, block_bytes)) {
    const std::span<const std::uint8_t> bytes = read_input(input, offset, block_bytes);
    if (input_failed(input)) return ChainStatus::ReadFailed;
    if (bytes.empty()) break;
    scan.blocks.push_back({offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), {}});
  }
  // 4 first: what every recorder writes. Random bytes hold short chains of
  // 1- and 2-byte lengths by the hundred, so a few chains of 4 win.
  std::uint64_t best = 0;
  std::uint64_t four_byte = 0;
  for (const std::uint32_t size : {4u, 2u, 1u}) {
    const std::uint64_t found = count_chains(scan.blocks, size, VideoCodec::Avc);
    if (size == 4) four_byte = found;
    if (found > best) {
      best = found;
      scan.nal_length_size = size;
    }
    if (found >= kEnoughChains || (size == 4 && found >= kFewChains)) break;
  }
  // HEVC against H.264 of the same length size: the hundreds of short chains
  // in a short recording's bytes must not outvote its HEVC samples.
  const std::uint64_t hevc = count_chains(scan.blocks, 4, VideoCodec::Hevc);
  if (hevc > 2 * four_byte && hevc >= kEnoughChains) return ChainStatus::Hevc;
  if (best == 0) return ChainStatus::NoChains;
  scan.codec = VideoCodec::Avc;
  scan.chains = 0;
  for (MediaBlock& b : scan.blocks) {
    b.chains = find_chains(b.bytes, scan.nal_length_size, VideoCodec::Avc);
    scan.chains += b.chains.size();
  }
  return ChainStatus::Found;
}

void check_chains(ChainScan& scan, const SliceCheck& slice_ok) {
  scan.chains = 0;
  for (MediaBlock& b : scan.blocks) {
    b.chains = find_chains(b.bytes, scan.nal_length_size, scan.codec, slice_ok);
    scan.chains += b.chains.size();
  }
}

}  // namespace vidsalvage
