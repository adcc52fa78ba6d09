#pragma once
// H.264 picture order counts (8.2.1): where each picture stands in display order,
// computed from its first slice header in decoding order.

#include <cstdint>

#include "codec/slice_header.h"
#include "codec/sps_parser.h"

namespace vidsalvage {

struct PictureOrder {
  std::int32_t top = 0;     // TopFieldOrderCnt; a bottom field leaves it at 0
  std::int32_t bottom = 0;  // BottomFieldOrderCnt; a top field leaves it at 0
  std::int32_t count = 0;   // PicOrderCnt: the smaller of a frame's two, a field's own
  // An IDR picture or one whose marking holds operation 5: every picture before
  // it in decoding order is displayed before it, whatever their counts.
  bool starts_sequence = false;
};

// The counts carry over from picture to picture: one object per stream, fed the
// first slice of every picture in decoding order (each field of a pair too).
class AvcPictureOrder {
 public:
  // `sps` is the SPS the slice's PPS names.
  PictureOrder next(const SliceHeader& slice, const SpsInfo& sps);

 private:
  PictureOrder order_type0(const SliceHeader& slice, const SpsInfo& sps);
  std::int64_t frame_num_offset(const SliceHeader& slice, const SpsInfo& sps) const;
  PictureOrder order_type1(const SliceHeader& slice, const SpsInfo& sps, std::int64_t offset);
  PictureOrder order_type2(const SliceHeader& slice, std::int64_t offset);

  // Of the previous reference picture (pic_order_cnt_type 0).
  std::int64_t prev_msb_ = 0;
  std::int64_t prev_lsb_ = 0;
  // Of the previous picture (pic_order_cnt_type 1 and 2).
  std::int64_t prev_frame_num_offset_ = 0;
  std::uint32_t prev_frame_num_ = 0;
};

}  // namespace vidsalvage
