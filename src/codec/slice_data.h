#pragma once
// A syntax-level parse of H.264 slice data (7.3.4, 7.3.5): every macroblock of a
// coded slice is read, prediction and residual syntax included, without
// reconstructing a picture. Whether the parse ends where the syntax lets a slice
// end tells if the parameter sets fit the slice.

#include <cstdint>
#include <span>

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

}  // namespace vidsalvage
