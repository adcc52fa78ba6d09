#pragma once
// A syntax-level parse of H.264 slice data (7.3.4, 7.3.5): every macroblock of a
// coded slice is read, prediction and residual syntax included, without
// reconstructing a picture. Whether the parse ends where the syntax lets a slice
// end tells if the parameter sets fit the slice.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/slice_header.h"

namespace vidsalvage {

enum class SliceDataEnd {
  Clean,    // the slice data ended where the syntax says it may, followed only by the trailing bits
  Overran,  // the data ran out, or went past the picture's last macroblock, before the end
  Invalid,  // a syntax element outside its range, or trailing bytes that are not the stop bit and
            // zeros
  Unsupported,  // a form the parser does not read (MBAFF, slice groups, data partitioning, 4:4:4
                // ...), or no parameter set
};

struct SliceDataResult {
  SliceDataEnd end = SliceDataEnd::Invalid;
  std::uint32_t first_mb = 0;        // first_mb_in_slice
  std::uint32_t macroblocks = 0;     // macroblocks read, skipped ones included
  bool reaches_picture_end = false;  // Clean, and its last macroblock is the picture's last
};

// Parses a coded slice NAL unit (types 1 and 5, header byte first) through its
// slice header and its slice data, macroblock layer and residuals included, no
// picture reconstruction. Bounded work: stops at the picture's macroblock count.
SliceDataResult parse_slice_data(std::span<const std::uint8_t> unit, const AvcParameterSets& sets);

// What reconstructing an intra macroblock needs of its syntax, as parsed.
// Coefficient levels are in scan order: a 4x4 block's 16 at luma[blkIdx * 16]
// (AC blocks of Intra_16x16 from index 1), an 8x8 block's 64 at luma[blkIdx8x8 * 64].
struct CodedMacroblock {
  enum class Kind : std::uint8_t { Intra4x4, Intra8x8, Intra16x16, Pcm, Inter };
  Kind kind = Kind::Inter;
  std::uint32_t address = 0;
  std::uint32_t slice_first_mb = 0;  // tells the slices apart
  std::int32_t slice_qp_delta = 0;
  std::int32_t mb_qp_delta = 0;
  std::uint8_t intra16x16_pred_mode = 0;
  std::uint8_t intra_chroma_pred_mode = 0;
  // Intra4x4 and Intra8x8: -1 for prev_intra_pred_mode_flag, else rem_intra_pred_mode.
  std::array<std::int8_t, 16> rem_pred_mode = {};
  std::array<std::int32_t, 256> luma = {};
  std::array<std::int32_t, 16> luma_dc = {};
  std::array<std::array<std::int32_t, 8>, 2> chroma_dc = {};
  std::array<std::array<std::int32_t, 8 * 16>, 2> chroma_ac = {};  // block b at b * 16, from 1
  std::array<std::uint8_t, 384> pcm = {};  // 8-bit I_PCM: 256 luma, then Cb and Cr
};

// parse_slice_data that also appends the macroblocks it reads to `out` while it
// holds fewer than `limit`; the parse itself goes on as without it.
SliceDataResult parse_slice_data(std::span<const std::uint8_t> unit, const AvcParameterSets& sets,
                                 std::vector<CodedMacroblock>& out, std::size_t limit);

}  // namespace vidsalvage
