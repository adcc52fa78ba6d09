#include "codec/picture_order.h"

#include <algorithm>

namespace vidsalvage {
namespace {

// Counts are kept in 64 bits while computed; a damaged stream's may leave the
// 32 bits H.264 gives them, and are then clamped rather than wrapped.
std::int32_t clamped(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// The counts of the picture's own fields; a frame takes both.
PictureOrder from_fields(const SliceHeader& slice, std::int64_t top, std::int64_t bottom) {
  PictureOrder order;
  if (!slice.field_pic_flag) {
    order.top = clamped(top);
    order.bottom = clamped(bottom);
    order.count = std::min(order.top, order.bottom);
  } else if (slice.bottom_field_flag) {
    order.bottom = clamped(bottom);
    order.count = order.bottom;
  } else {
    order.top = clamped(top);
    order.count = order.top;
  }
  return order;
}

}  // namespace

PictureOrder AvcPictureOrder::next(const SliceHeader& slice, const SpsInfo& sps) {
  const bool mmco5 = slice.memory_management_control_operation_5;
  const std::int64_t offset = frame_num_offset(slice, sps);
  PictureOrder order;
  if (sps.pic_order_cnt_type == 0) {
    order = order_type0(slice, sps);
  } else if (sps.pic_order_cnt_type == 1) {
    order = order_type1(slice, sps, offset);
  } else {
    order = order_type2(slice, offset);
  }
  order.starts_sequence = slice.idr() || mmco5;

  prev_frame_num_offset_ = offset;
  prev_frame_num_ = slice.frame_num;
  if (mmco5) {
    // 8.2.1: after operation 5 the picture counts from 0 (tempPicOrderCnt), and
    // the next picture takes frame_num and its offset as 0.
    const std::int64_t temp = order.count;
    const bool bottom_field = slice.field_pic_flag && slice.bottom_field_flag;
    const bool top_field = slice.field_pic_flag && !slice.bottom_field_flag;
    if (!bottom_field) order.top = clamped(order.top - temp);
    if (!top_field) order.bottom = clamped(order.bottom - temp);
    order.count = 0;
    prev_frame_num_offset_ = 0;
    prev_frame_num_ = 0;
  }
  if (sps.pic_order_cnt_type == 0 && slice.nal_ref_idc != 0 && mmco5) {
    // 8.2.1.1: after operation 5, a frame or top field leaves its top count as
    // the previous lsb, a bottom field leaves nothing.
    prev_msb_ = 0;
    prev_lsb_ = slice.field_pic_flag && slice.bottom_field_flag ? 0 : order.top;
  }
  return order;
}

// H.264 8.2.1.1.
PictureOrder AvcPictureOrder::order_type0(const SliceHeader& slice, const SpsInfo& sps) {
  if (slice.idr()) {
    prev_msb_ = 0;
    prev_lsb_ = 0;
  }
  const std::int64_t max_lsb = std::int64_t{1} << sps.log2_max_pic_order_cnt_lsb;
  const std::int64_t lsb = slice.pic_order_cnt_lsb;
  std::int64_t msb = prev_msb_;
  if (lsb < prev_lsb_ && prev_lsb_ - lsb >= max_lsb / 2) {
    msb = prev_msb_ + max_lsb;
  } else if (lsb > prev_lsb_ && lsb - prev_lsb_ > max_lsb / 2) {
    msb = prev_msb_ - max_lsb;
  }
  const std::int64_t top = msb + lsb;
  const std::int64_t bottom =
      slice.field_pic_flag ? msb + lsb : top + slice.delta_pic_order_cnt_bottom;
  if (slice.nal_ref_idc != 0) {
    prev_msb_ = msb;
    prev_lsb_ = lsb;
  }
  return from_fields(slice, top, bottom);
}

// H.264 8.2.1.2 and 8.2.1.3: FrameNumOffset.
std::int64_t AvcPictureOrder::frame_num_offset(const SliceHeader& slice, const SpsInfo& sps) const {
  if (slice.idr()) return 0;
  if (prev_frame_num_ > slice.frame_num) {
    return prev_frame_num_offset_ + (std::int64_t{1} << sps.log2_max_frame_num);
  }
  return prev_frame_num_offset_;
}

// H.264 8.2.1.2.
PictureOrder AvcPictureOrder::order_type1(const SliceHeader& slice, const SpsInfo& sps,
                                          std::int64_t offset) {
  const std::int64_t cycle = static_cast<std::int64_t>(sps.offset_for_ref_frame.size());
  std::int64_t abs_frame_num = cycle != 0 ? offset + slice.frame_num : 0;
  if (slice.nal_ref_idc == 0 && abs_frame_num > 0) --abs_frame_num;
  std::int64_t expected = 0;
  if (abs_frame_num > 0) {
    std::int64_t delta_per_cycle = 0;
    for (const std::int32_t o : sps.offset_for_ref_frame) delta_per_cycle += o;
    const std::int64_t cycle_count = (abs_frame_num - 1) / cycle;
    const std::int64_t in_cycle = (abs_frame_num - 1) % cycle;
    expected = cycle_count * delta_per_cycle;
    for (std::int64_t i = 0; i <= in_cycle; ++i) {
      expected += sps.offset_for_ref_frame[static_cast<std::size_t>(i)];
    }
  }
  if (slice.nal_ref_idc == 0) expected += sps.offset_for_non_ref_pic;
  std::int64_t top = expected + slice.delta_pic_order_cnt[0];
  std::int64_t bottom = top + sps.offset_for_top_to_bottom_field + slice.delta_pic_order_cnt[1];
  if (slice.field_pic_flag)
    bottom = expected + sps.offset_for_top_to_bottom_field + slice.delta_pic_order_cnt[0];
  return from_fields(slice, top, bottom);
}

// H.264 8.2.1.3: display order is decoding order.
PictureOrder AvcPictureOrder::order_type2(const SliceHeader& slice, std::int64_t offset) {
  std::int64_t temp = 0;
  if (!slice.idr()) {
    temp = 2 * (offset + slice.frame_num) - (slice.nal_ref_idc == 0 ? 1 : 0);
  }
  return from_fields(slice, temp, temp);
}

}  // namespace vidsalvage
