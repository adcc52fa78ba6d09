#pragma once
// The H.264 parameter sets of a stream, and the part of a slice header that says
// which picture the slice belongs to and where that picture stands in display
// order.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/pps_parser.h"
#include "codec/sps_parser.h"

namespace vidsalvage {

// The parameter sets known so far, by id.
struct AvcParameterSets {
  std::array<std::optional<SpsInfo>, 32> sps;
  std::array<std::optional<PpsInfo>, 256> pps;
};

// Takes an SPS or PPS NAL unit (header byte first) into `sets`, replacing one of
// the same id. False when it is one of them and does not parse; other units are
// left alone.
[[nodiscard]] bool add_parameter_set(AvcParameterSets& sets, std::span<const std::uint8_t> unit);

// Every SPS and PPS of an AVC decoder configuration record (avcC body). False
// when the record ends inside its lists or a set does not parse.
[[nodiscard]] bool read_config_parameter_sets(std::span<const std::uint8_t> avcc,
                                              AvcParameterSets& sets);

struct SliceHeader {
  std::uint32_t nal_unit_type = 0;
  std::uint32_t nal_ref_idc = 0;
  std::uint32_t first_mb_in_slice = 0;
  std::uint32_t slice_type = 0;  // 0 to 9; 5 to 9 say every slice of the picture has that type
  std::uint32_t pic_parameter_set_id = 0;
  std::uint32_t frame_num = 0;
  bool field_pic_flag = false;
  bool bottom_field_flag = false;
  std::uint32_t idr_pic_id = 0;
  std::uint32_t pic_order_cnt_lsb = 0;
  std::int32_t delta_pic_order_cnt_bottom = 0;
  std::array<std::int32_t, 2> delta_pic_order_cnt = {0, 0};
  // Whether the reference picture marking was read, and whether it holds a
  // memory_management_control_operation 5.
  bool marking_known = false;
  bool memory_management_control_operation_5 = false;
  // The rest of the header, read by read_slice_header_to_data.
  bool direct_spatial_mv_pred_flag = false;
  std::uint32_t num_ref_idx_l0_active_minus1 = 0;
  std::uint32_t num_ref_idx_l1_active_minus1 = 0;
  std::uint32_t cabac_init_idc = 0;
  std::int32_t slice_qp_delta = 0;
  std::uint32_t disable_deblocking_filter_idc = 0;

  bool idr() const { return nal_unit_type == 5; }
};

enum class SliceRead { Read, NotASlice, NoParameterSet, Malformed };

// Reads the slice header of a coded slice NAL unit (types 1, 2 and 5, header byte
// first) through its picture order fields, and on through the reference picture
// marking when the unit holds it; marking_known tells which. NoParameterSet when
// its PPS or that PPS's SPS is unknown; Malformed when a field up to the picture
// order fields is out of range or cut off.
[[nodiscard]] SliceRead read_slice_header(std::span<const std::uint8_t> unit,
                                          const AvcParameterSets& sets, SliceHeader& header);

// Reads the whole slice header, as read_slice_header does and on to its last
// field. `reader` must be a NALUnit over the unit without its header byte
// (unit.data() + 1, unit.size() - 1); on Read it stands at the first bit of
// slice_data(). Malformed also when a field after the marking is out of range
// or cut off.
[[nodiscard]] SliceRead read_slice_header_to_data(std::span<const std::uint8_t> unit,
                                                  const AvcParameterSets& sets, SliceHeader& header,
                                                  NALUnit& reader);

// H.264 7.4.1.2.4: true when `slice` begins a new picture after `previous`, the
// slice before it in decoding order.
bool starts_new_picture(const SliceHeader& previous, const SliceHeader& slice,
                        const AvcParameterSets& sets);

}  // namespace vidsalvage
