#pragma once
// The second and third steps of inferring a model from a damaged recording: the
// fields of the lost SPS and PPS ranked by how well the slices of many pictures
// read under them, then the picture size and the fields only the slice data
// shows, settled by a parser of slice data (the judge).

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "codec/slice_header.h"
#include "model/encoder_hints.h"

namespace vidsalvage {

// One coded picture: the slice units of one chain, header byte first.
struct RankPicture {
  std::vector<std::span<const std::uint8_t>> slices;
  bool follows = false;  // the picture before it in the list came right before it in the file
};

// How a slice's data ended when parsed under a set of parameter sets.
enum class SliceEnd { Clean, Overran, Invalid, Unsupported };

struct SliceVerdict {
  SliceEnd end = SliceEnd::Invalid;
  std::uint32_t first_mb = 0;
  std::uint32_t macroblocks = 0;
  bool reaches_picture_end = false;
};

// Parses a slice unit's data under `sets`. Empty: no parser; the size is guessed.
using SliceJudge =
    std::function<SliceVerdict(std::span<const std::uint8_t> unit, const AvcParameterSets& sets)>;

// A field the inference could not measure and took the usual value for.
struct Guess {
  std::string field;
  std::string value;
  std::string why;
};

// The SPS fields a slice header shows: log2_max_frame_num (4 to 16),
// pic_order_cnt_type 0 with log2_max_pic_order_cnt_lsb (4 to 16) or type 2, and
// frame_mbs_only_flag; the rest of `base` kept. `score` grows with the evidence.
struct SequenceRank {
  SpsInfo sps;
  double score = 0;
  int pictures = 0;  // pictures read
  // Pictures whose frame_num could be checked (an IDR picture, or one after a
  // picture read), and those where it steps as H.264 has it step: random bytes
  // that happen to read as slice headers fail here.
  int checked = 0;
  int consistent = 0;
};
SequenceRank rank_sequence_fields(const std::vector<RankPicture>& pictures, const SpsInfo& base);

// The PPS fields a whole slice header shows under that SPS: the entropy coder
// (CABAC's alignment bits are all ones), weighted prediction, the default
// reference counts and the deblocking control flag; the rest of `base` kept, the
// encoder's hints settling what they name. Best first. `references_shown`, when
// given, tells whether the P slices showed the default reference count: without
// weighted prediction a slice that keeps the default does not.
std::vector<PpsInfo> rank_picture_fields(const std::vector<RankPicture>& pictures,
                                         const SpsInfo& sps, const PpsInfo& base,
                                         const EncoderHints& hints,
                                         bool* references_shown = nullptr);

// A picture size as the SPS holds it.
struct PictureSize {
  std::uint32_t width = 0;  // visible, in pixels
  std::uint32_t height = 0;
};

// The sizes cameras and phones record, most common first.
std::span<const PictureSize> camera_sizes();

// `sps` given the size: macroblock counts and the cropping to it.
void set_picture_size(SpsInfo& sps, const PictureSize& size);

struct JudgedSets {
  bool measured = false;             // the judge parsed a key picture whole under them
  bool references_measured = false;  // and a P picture, for the default reference count
  SpsInfo sps;
  PpsInfo pps;
};

// Tries the sizes, transform_8x8_mode_flag and (under CABAC) pic_init_qp on the
// first key picture under each PPS candidate in turn: the first under which every
// slice parses Clean and the last reaches the end of the picture. Then, unless
// `references_shown`, the default reference count on the first P picture after
// it. Stops at `deadline`. measured false when nothing parses or there is no judge.
JudgedSets judge_sets(const std::vector<RankPicture>& pictures, const SpsInfo& sps,
                      const std::vector<PpsInfo>& candidates, const EncoderHints& hints,
                      const SliceJudge& judge, std::chrono::steady_clock::time_point deadline,
                      bool references_shown = true);

// pic_init_qp measured on the first key picture: its intra macroblocks (at most
// kQuantMeasureMbs of them) rebuilt under trial initial QPs, the least blocky
// picture among the few QPs up to where the rebuild starts clipping samples.
// measured false when the picture is not all intra 8-bit 4:2:0 frame slices
// that parse whole under `sps` and `pps` with flat scaling, or when clipping
// never sets in (nothing then bounds the QP).
struct QuantMeasure {
  bool measured = false;
  int pic_init_qp = 26;
  std::uint32_t macroblocks = 0;  // rebuilt
};
inline constexpr std::size_t kQuantMeasureMbs = 800;
QuantMeasure measure_init_qp(const std::vector<RankPicture>& pictures, const SpsInfo& sps,
                             const PpsInfo& pps);

// The sets with one SPS and one PPS (of the id the slices name).
AvcParameterSets sets_of(const SpsInfo& sps, const PpsInfo& pps);

}  // namespace vidsalvage
