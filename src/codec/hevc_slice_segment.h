#pragma once
// Whole HEVC slice segment headers, read under parameter sets whose fields are
// inferred rather than known: a header that reads to its byte alignment, with
// every field in range and its entry points inside the unit, speaks for the sets.

#include <cstdint>
#include <span>

#include "codec/hevc_parameter_set_writer.h"

namespace vidsalvage {

struct HevcSliceSegment {
  std::uint32_t nal_unit_type = 0;
  std::uint32_t slice_type = 0;  // 0 B, 1 P, 2 I
  std::uint32_t slice_pic_order_cnt_lsb = 0;
  // The short-term reference picture set coded in the header.
  std::uint32_t num_negative_pics = 0;
  std::uint32_t num_positive_pics = 0;
  std::int32_t slice_qp_delta = 0;
  std::uint32_t num_entry_point_offsets = 0;
};

enum class HevcSegmentRead {
  Read,
  NotFirst,    // not the first segment of a picture: only those are read
  SpsRefSets,  // the header takes its reference picture set from the SPS
  Malformed,   // a field out of range, the alignment bits wrong, the data cut off
};

// Reads the header of the first slice segment of a picture (a VCL unit, two
// header bytes first) under `sps` and `pps`, which hold no reference picture
// sets of their own.
[[nodiscard]] HevcSegmentRead read_hevc_slice_segment(std::span<const std::uint8_t> unit,
                                                      const HevcSpsFields& sps,
                                                      const HevcPpsFields& pps,
                                                      HevcSliceSegment& segment);

}  // namespace vidsalvage
