#pragma once
// HEVC slice segment headers up to their picture order count lsb, and the picture
// order count of each picture (H.265 8.3.1).

#include <cstdint>
#include <span>

#include "codec/hevc_config.h"
#include "codec/hevc_parameter_sets.h"

namespace vidsalvage {

struct HevcSliceHeader {
  HevcNalHeader nal;
  bool first_slice_segment_in_pic_flag = false;
  std::uint32_t slice_pic_parameter_set_id = 0;
  // Read for the first segment of a picture only.
  std::uint32_t slice_type = 0;
  std::uint32_t slice_pic_order_cnt_lsb = 0;  // 0 for IDR pictures, which carry none

  bool irap() const {
    return nal.nal_unit_type >= kHevcBlaWLp && nal.nal_unit_type <= kHevcLastIrap;
  }
  bool idr() const {
    return nal.nal_unit_type == kHevcIdrWRadl || nal.nal_unit_type == kHevcIdrNLp;
  }
};

enum class HevcSliceRead { Read, NotASlice, NoParameterSet, Malformed };

// Reads the slice segment header of a VCL unit (types 0-31, header bytes first):
// for the first segment of a picture through slice_pic_order_cnt_lsb, for the
// others through the PPS id. NoParameterSet when its PPS or that PPS's SPS is
// unknown; Malformed when a field is out of range or cut off.
[[nodiscard]] HevcSliceRead read_hevc_slice_header(std::span<const std::uint8_t> unit,
                                                   const HevcParameterSets& sets,
                                                   HevcSliceHeader& header);

struct HevcPictureOrderCount {
  std::int32_t count = 0;  // PicOrderCntVal
  // An IRAP picture with NoRaslOutputFlag: every picture before it in decoding
  // order is displayed before it, whatever their counts.
  bool starts_sequence = false;
};

// The counts carry over from picture to picture: one object per stream, fed the
// first slice segment of every base-layer picture in decoding order.
class HevcPictureOrder {
 public:
  HevcPictureOrderCount next(const HevcSliceHeader& slice, const HevcSps& sps);
  // An end of sequence unit: the next picture, an IRAP one, starts afresh.
  void end_of_sequence() { first_after_end_ = true; }

 private:
  bool first_after_end_ = true;  // the first picture of the stream counts as such
  std::int64_t prev_msb_ = 0;    // of prevTid0Pic
  std::int64_t prev_lsb_ = 0;
};

}  // namespace vidsalvage
