#pragma once
// The intra macroblocks of an 8-bit 4:2:0 H.264 picture rebuilt from their
// parsed syntax (8.3, 8.5), without the deblocking filter, under a trial initial
// QP and chroma QP offset; and how blocky the result looks. A picture rebuilt
// under the encoder's values looks like a picture; under wrong ones every block
// carries a scaled residual and the block edges show.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/slice_data.h"

namespace vidsalvage {

// What the rebuild depends on beyond the slice data.
struct QuantSettings {
  int pic_init_qp = 26;
  int chroma_qp_index_offset = 0;  // Cb; Cr takes the same
};

struct IntraPicture {
  std::uint32_t width_mbs = 0;
  std::uint32_t height_mbs = 0;
  std::vector<std::uint8_t> luma;                   // width_mbs * 16 per row
  std::array<std::vector<std::uint8_t>, 2> chroma;  // width_mbs * 8 per row
  std::vector<std::uint8_t> rebuilt;                // per macroblock: 1 when rebuilt
  // Luma samples whose prediction plus residual fell outside 0 to 255: rare
  // under the encoder's QP, common once residuals are scaled up.
  std::uint64_t luma_clipped = 0;
};

// Rebuilds `macroblocks` (one picture's, in decoding order) into a picture of
// `width_mbs` x `height_mbs` macroblocks. Stops at the first one that is not
// intra or lies outside the picture; what came before stays rebuilt. False when
// the picture is empty or larger than a level allows.
[[nodiscard]] bool rebuild_intra(std::span<const CodedMacroblock> macroblocks,
                                 std::uint32_t width_mbs, std::uint32_t height_mbs,
                                 const QuantSettings& settings, IntraPicture& out);

// The mean absolute step between neighbouring samples across 4x4 block edges
// over the mean step inside blocks, over pairs of rebuilt macroblocks' samples:
// near 1 for a natural picture, larger as block edges show. 0 when no pair.
struct Blockiness {
  double luma = 0;
  double chroma = 0;
};
Blockiness blockiness(const IntraPicture& picture);

// The transforms, exposed for their tests. `d` in raster order (row by row),
// residuals out, rounded as the decoder rounds ((x + 32) >> 6).
void inverse_transform_4x4(std::array<std::int32_t, 16>& d);
void inverse_transform_8x8(std::array<std::int32_t, 64>& d);

// Intra_4x4 prediction (modes 0 to 8) from the samples above (top[0..7], top[-1]
// being `top_left`) and to the left (left[0..3]), all available.
std::array<std::uint8_t, 16> predict_4x4(int mode, const std::array<int, 8>& top, int top_left,
                                         const std::array<int, 4>& left);

}  // namespace vidsalvage
