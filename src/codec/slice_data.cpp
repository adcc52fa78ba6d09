#include "codec/slice_data.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "codec/bit_reader.h"
#include "codec/cabac_contexts.h"
#include "codec/cabac_decoder.h"
#include "codec/cavlc_tables.h"
#include "codec/rbsp_bits.h"

namespace vidsalvage {
namespace {

enum SliceKind : int { kP = 0, kB = 1, kI = 2, kSp = 3, kSi = 4 };

// What the macroblock syntax depends on, from the slice header and its parameter sets.
struct SliceSetup {
  bool cabac = false;
  int kind = kI;
  std::uint32_t width_mbs = 0;
  std::uint32_t picture_mbs = 0;
  std::uint32_t first_mb = 0;
  int chroma_array_type = 1;
  int bit_depth_luma = 8;
  int bit_depth_chroma = 8;
  bool transform_8x8_mode = false;
  bool direct_8x8_inference = false;
  bool field = false;
  std::array<std::uint32_t, 2> ref_idx_max = {0, 0};  // num_ref_idx_lX_active_minus1
  int slice_qp = 26;
  std::int32_t slice_qp_delta = 0;
  int cabac_init_idc = 0;
};

// Where a block's coefficient levels are kept when the parse records them:
// level i of the block at at[i * stride]. No `at`: not kept.
struct Dest {
  std::int32_t* at = nullptr;
  int stride = 1;
};

// What later macroblocks' context indexes and nC need of a macroblock. Blocks
// are numbered in raster order: luma 4x4 blocks y * 4 + x, chroma ones y * 2 + x.
struct MbState {
  bool skip = false;
  bool intra = false;
  bool pcm = false;
  bool intra16x16 = false;
  bool intra_nxn = false;
  bool direct16x16 = false;  // B_Skip or B_Direct_16x16
  bool transform8x8 = false;
  std::uint8_t cbp_luma = 0;
  std::uint8_t cbp_chroma = 0;
  std::uint8_t chroma_pred_mode = 0;
  // CABAC: coded_block_flag of each block.
  std::uint16_t cbf_luma = 0;
  bool cbf_luma_dc = false;
  std::array<bool, 2> cbf_chroma_dc = {false, false};
  std::array<std::uint8_t, 2> cbf_chroma_ac = {0, 0};
  // CAVLC: TotalCoeff of each block.
  std::array<std::uint8_t, 16> total_luma = {};
  std::array<std::array<std::uint8_t, 8>, 2> total_chroma = {};
  // CABAC: |mvd| per list, 4x4 block and component (clamped), and refIdx > 0 per 8x8 quadrant.
  std::array<std::array<std::array<std::uint8_t, 2>, 16>, 2> mvd = {};
  std::array<std::uint8_t, 2> ref_above_zero = {0, 0};
};

// The prediction structure of a macroblock type (Tables 7-11, 7-13, 7-14).
enum Pred : std::uint8_t { kL0 = 1, kL1 = 2, kBi = 3 };
struct MbKind {
  bool intra = false;
  int i_type = 0;     // intra: 0 I_NxN, 1 to 24 I_16x16, 25 I_PCM
  int parts = 1;      // inter: 1, 2 or 4 (8x8)
  bool wide = false;  // two parts of 16x8
  std::array<std::uint8_t, 2> pred = {0, 0};
  bool direct = false;  // B_Direct_16x16
  bool ref0 = false;    // P_8x8ref0
};
constexpr int kIPcm = 25;

struct SubKind {
  int parts = 1;
  bool wide = false;  // two parts of 8x4
  std::uint8_t pred = 0;
  bool direct = false;
};

// The area of a partition in 4x4 blocks.
struct Area {
  int x = 0;
  int y = 0;
  int w = 4;
  int h = 4;
};

// A level_prefix beyond this needs more than 25 suffix bits, more than any bit depth uses.
constexpr int kMaxLevelPrefix = 25;
// 7.4.5.1: mvd components lie within -8192 to 8191.75 luma samples, in quarters.
constexpr std::int32_t kMaxMvd = 32768;
// Exp-Golomb suffixes of CABAC levels and motion vector differences: no
// value of a valid stream needs a longer prefix.
constexpr int kMaxEgPrefix = 24;

struct Parser {
  Parser(const SliceSetup& setup, std::span<const std::uint8_t> rbsp, std::uint64_t start)
      : s(setup), bits(rbsp, start), cabac(bits), rows(2 * setup.width_mbs) {}

  SliceSetup s;
  RbspBits bits;
  CabacDecoder cabac;
  CabacContexts ctx{};
  std::vector<MbState> rows;  // the current macroblock row and the one above
  MbState* cur = nullptr;
  const MbState* left = nullptr;
  const MbState* above = nullptr;
  bool prev_qp_delta_nonzero = false;
  // Recording: the macroblocks kept, how many at most, and the current one's record.
  std::vector<CodedMacroblock>* record = nullptr;
  std::size_t record_limit = 0;
  CodedMacroblock* rec = nullptr;

  std::uint32_t bin(int ctx_idx) { return cabac.decision(ctx[static_cast<std::size_t>(ctx_idx)]); }
  MbState* slot(std::uint32_t a) {
    return &rows[((a / s.width_mbs) & 1u) * s.width_mbs + a % s.width_mbs];
  }
  // 6.4.9 without MBAFF: the left and upper macroblocks, when in this slice.
  void enter(std::uint32_t a) {
    cur = slot(a);
    *cur = MbState{};
    left = (a % s.width_mbs != 0 && a - 1 >= s.first_mb) ? slot(a - 1) : nullptr;
    above = (a >= s.width_mbs && a - s.width_mbs >= s.first_mb) ? slot(a - s.width_mbs) : nullptr;
    rec = nullptr;
    if (record != nullptr && record->size() < record_limit) {
      rec = &record->emplace_back();
      rec->address = a;
      rec->slice_first_mb = s.first_mb;
      rec->slice_qp_delta = s.slice_qp_delta;
    }
  }
  // The record's luma levels of 4x4 block `blk` (b8 * 4 + b4) from level `first`.
  Dest luma_dest(int blk, int first) const {
    if (rec == nullptr) return {};
    if (cur->transform8x8)
      return {&rec->luma[static_cast<std::size_t>((blk / 4) * 64 + blk % 4)], 4};
    return {&rec->luma[static_cast<std::size_t>(blk * 16 + first)], 1};
  }
  // The macroblock holding block (x, y) of a w x h grid, x or y possibly -1;
  // (x, y) becomes the block's place there. nullptr when unavailable.
  const MbState* owner(int& x, int& y, int w, int h) const {
    if (x < 0) {
      x += w;
      return left;
    }
    if (y < 0) {
      y += h;
      return above;
    }
    return cur;
  }
};

constexpr std::array<std::uint8_t, 16> kLuma4x4X = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr std::array<std::uint8_t, 16> kLuma4x4Y = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

// ---- Macroblock and sub-macroblock types ----

MbKind intra_kind(int i_type) {
  MbKind k;
  k.intra = true;
  k.i_type = i_type;
  return k;
}

MbKind p_kind(int type) {
  if (type >= 5) return intra_kind(type - 5);
  MbKind k;
  k.pred = {kL0, kL0};
  if (type == 1 || type == 2) {
    k.parts = 2;
    k.wide = type == 1;
  }
  if (type >= 3) k.parts = 4;
  k.ref0 = type == 4;
  return k;
}

MbKind b_kind(int type) {
  if (type >= 23) return intra_kind(type - 23);
  // B_L0_L0_16x8 to B_Bi_Bi_8x16 in pairs of 16x8 and 8x16.
  static constexpr std::uint8_t kTwoPartPreds[9][2] = {{kL0, kL0}, {kL1, kL1}, {kL0, kL1},
                                                       {kL1, kL0}, {kL0, kBi}, {kL1, kBi},
                                                       {kBi, kL0}, {kBi, kL1}, {kBi, kBi}};
  MbKind k;
  if (type == 0) {
    k.direct = true;
  } else if (type <= 3) {
    k.pred[0] = static_cast<std::uint8_t>(type);
  } else if (type <= 21) {
    k.parts = 2;
    k.wide = type % 2 == 0;
    k.pred = {kTwoPartPreds[(type - 4) / 2][0], kTwoPartPreds[(type - 4) / 2][1]};
  } else {
    k.parts = 4;
  }
  return k;
}

SubKind p_sub_kind(int type) {
  SubKind k;
  k.pred = kL0;
  k.parts = type == 0 ? 1 : type == 3 ? 4 : 2;
  k.wide = type == 1;
  return k;
}

SubKind b_sub_kind(int type) {
  SubKind k;
  if (type == 0) {
    k.direct = true;
    k.parts = 4;
    return k;
  }
  if (type <= 3) {
    k.pred = static_cast<std::uint8_t>(type);
  } else if (type <= 9) {
    static constexpr std::uint8_t kPreds[3] = {kL0, kL1, kBi};
    k.parts = 2;
    k.pred = kPreds[(type - 4) / 2];
    k.wide = type % 2 == 0;
  } else {
    k.parts = 4;
    k.pred = static_cast<std::uint8_t>(type - 9);
  }
  return k;
}

Area part_area(const MbKind& k, int part) {
  if (k.parts == 1) return Area{};
  if (k.wide) return Area{0, 2 * part, 4, 2};
  return Area{2 * part, 0, 2, 4};
}

Area sub_area(const SubKind& k, int sub, int part) {
  Area a{(sub % 2) * 2, (sub / 2) * 2, 2, 2};
  if (k.parts == 2 && k.wide) return Area{a.x, a.y + part, 2, 1};
  if (k.parts == 2) return Area{a.x + part, a.y, 1, 2};
  if (k.parts == 4) return Area{a.x + part % 2, a.y + part / 2, 1, 1};
  return a;
}

// ---- CABAC syntax elements (9.3.2, 9.3.3.1) ----

// mb_type of an I macroblock, bins after the prefix; `base` 3 in I slices
// (bin 0 from the neighbours), 17 and 32 as the suffix in P and B slices.
int cabac_intra_type(Parser& p, int base) {
  const bool own_slice = base == 3;
  int inc = 0;
  if (own_slice) {
    inc = (p.left != nullptr && !p.left->intra_nxn ? 1 : 0) +
          (p.above != nullptr && !p.above->intra_nxn ? 1 : 0);
  }
  if (p.bin(base + inc) == 0) return 0;
  if (p.cabac.terminate() != 0) return kIPcm;
  const std::uint32_t luma = p.bin(base + (own_slice ? 3 : 1));
  std::uint32_t chroma = p.bin(base + (own_slice ? 4 : 2));
  if (chroma != 0) chroma += p.bin(base + (own_slice ? 5 : 2));
  std::uint32_t pred = p.bin(base + (own_slice ? 6 : 3)) << 1;
  pred |= p.bin(base + (own_slice ? 7 : 3));
  return static_cast<int>(1 + pred + 4 * chroma + 12 * luma);
}

int cabac_p_type(Parser& p) {
  if (p.bin(14) != 0) return 5 + cabac_intra_type(p, 17);
  if (p.bin(15) == 0) return p.bin(16) != 0 ? 3 : 0;
  return p.bin(17) != 0 ? 1 : 2;
}

int cabac_b_type(Parser& p) {
  const int inc = (p.left != nullptr && !p.left->direct16x16 ? 1 : 0) +
                  (p.above != nullptr && !p.above->direct16x16 ? 1 : 0);
  if (p.bin(27 + inc) == 0) return 0;
  // Bin 2 takes ctxIdxInc 5 after b1 = 0 and 4 after b1 = 1; later bins 5.
  if (p.bin(30) == 0) return 1 + static_cast<int>(p.bin(32));
  const std::uint32_t b2 = p.bin(31);
  const std::uint32_t b3 = p.bin(32);
  if (b2 == 0) {
    return 3 + static_cast<int>((b3 << 2) | (p.bin(32) << 1) | p.bin(32));
  }
  if (b3 == 0) {
    const std::uint32_t rest = (p.bin(32) << 2) | (p.bin(32) << 1);
    return 12 + static_cast<int>(rest | p.bin(32));
  }
  const std::uint32_t b4 = p.bin(32);
  const std::uint32_t b5 = p.bin(32);
  if (b4 == 0 && b5 == 0) return 20 + static_cast<int>(p.bin(32));
  if (b4 == 0) return 23 + cabac_intra_type(p, 32);
  return b5 == 0 ? 11 : 22;
}

int cabac_p_sub_type(Parser& p) {
  if (p.bin(21) != 0) return 0;
  if (p.bin(22) == 0) return 1;
  return p.bin(23) != 0 ? 2 : 3;
}

int cabac_b_sub_type(Parser& p) {
  if (p.bin(36) == 0) return 0;
  if (p.bin(37) == 0) return 1 + static_cast<int>(p.bin(39));
  if (p.bin(38) == 0) return 3 + static_cast<int>((p.bin(39) << 1) | p.bin(39));
  if (p.bin(39) != 0) return 11 + static_cast<int>(p.bin(39));
  return 7 + static_cast<int>((p.bin(39) << 1) | p.bin(39));
}

// U binarisation with the context of bin 0, then `second` for bin 1 and
// `rest` after; false past `max`.
bool cabac_unary(Parser& p, int first, int second, int rest, std::uint32_t max,
                 std::uint32_t& value) {
  value = 0;
  if (p.bin(first) == 0) return true;
  value = 1;
  while (p.bin(value == 1 ? second : rest) != 0) {
    if (++value > max) return false;
  }
  return value <= max;
}

// k-th order Exp-Golomb suffix in bypass bins.
bool cabac_exp_golomb(Parser& p, int k, std::uint32_t& value) {
  while (p.cabac.bypass() != 0) {
    value += 1u << k;
    if (++k > kMaxEgPrefix) return false;
  }
  while (k-- > 0) value += p.cabac.bypass() << k;
  return true;
}

bool cabac_mvd(Parser& p, int list, int comp, const Area& a, std::uint32_t& magnitude) {
  int xa = a.x - 1;
  int ya = a.y;
  int xb = a.x;
  int yb = a.y - 1;
  const MbState* na = p.owner(xa, ya, 4, 4);
  const MbState* nb = p.owner(xb, yb, 4, 4);
  const auto li = static_cast<std::size_t>(list);
  const auto ci = static_cast<std::size_t>(comp);
  int sum = 0;
  if (na != nullptr) sum += na->mvd[li][static_cast<std::size_t>(ya * 4 + xa)][ci];
  if (nb != nullptr) sum += nb->mvd[li][static_cast<std::size_t>(yb * 4 + xb)][ci];
  const int base = comp == 0 ? 40 : 47;
  const int inc = sum < 3 ? 0 : sum > 32 ? 2 : 1;
  std::uint32_t value = 0;
  while (value < 9 &&
         p.bin(value == 0 ? base + inc : base + std::min<int>(static_cast<int>(value) + 2, 6)) !=
             0) {
    ++value;
  }
  if (value == 9 && !cabac_exp_golomb(p, 3, value)) return false;
  if (value != 0) p.cabac.bypass();  // the sign
  magnitude = value;
  return value <= static_cast<std::uint32_t>(kMaxMvd);
}

int cabac_ref_idx_inc(Parser& p, int list, const Area& a) {
  int xa = a.x - 1;
  int ya = a.y;
  int xb = a.x;
  int yb = a.y - 1;
  const MbState* na = p.owner(xa, ya, 4, 4);
  const MbState* nb = p.owner(xb, yb, 4, 4);
  const auto li = static_cast<std::size_t>(list);
  auto above_zero = [li](const MbState* n, int x, int y) {
    return n != nullptr && ((n->ref_above_zero[li] >> ((y / 2) * 2 + x / 2)) & 1u) != 0;
  };
  return (above_zero(na, xa, ya) ? 1 : 0) + (above_zero(nb, xb, yb) ? 2 : 0);
}

// ---- Reading either way ----

bool read_ref_idx(Parser& p, int list, const Area& a) {
  const std::uint32_t max = p.s.ref_idx_max[static_cast<std::size_t>(list)];
  std::uint32_t value = 0;
  if (p.s.cabac) {
    if (!cabac_unary(p, 54 + cabac_ref_idx_inc(p, list, a), 58, 59, max, value)) return false;
  } else if (max == 1) {
    value = 1 - p.bits.read_bit();  // te(v) with cMax 1
  } else if (!p.bits.read_ue(value) || value > max) {
    return false;
  }
  if (value > 0) {
    for (int y = a.y; y < a.y + a.h; y += 2) {
      for (int x = a.x; x < a.x + a.w; x += 2) {
        p.cur->ref_above_zero[static_cast<std::size_t>(list)] |=
            static_cast<std::uint8_t>(1u << ((y / 2) * 2 + x / 2));
      }
    }
  }
  return true;
}

bool read_mvd(Parser& p, int list, const Area& a) {
  for (int comp = 0; comp < 2; ++comp) {
    std::uint32_t magnitude = 0;
    if (p.s.cabac) {
      if (!cabac_mvd(p, list, comp, a, magnitude)) return false;
    } else {
      std::int32_t value = 0;
      if (!p.bits.read_se(value) || value < -kMaxMvd || value >= kMaxMvd) return false;
      magnitude = static_cast<std::uint32_t>(std::abs(value));
    }
    const auto stored = static_cast<std::uint8_t>(std::min<std::uint32_t>(magnitude, 127));
    for (int y = a.y; y < a.y + a.h; ++y) {
      for (int x = a.x; x < a.x + a.w; ++x) {
        p.cur->mvd[static_cast<std::size_t>(list)][static_cast<std::size_t>(y * 4 + x)]
                  [static_cast<std::size_t>(comp)] = stored;
      }
    }
  }
  return true;
}

bool read_mb_type(Parser& p, MbKind& kind) {
  std::uint32_t type = 0;
  if (p.s.cabac) {
    if (p.s.kind == kI) type = static_cast<std::uint32_t>(cabac_intra_type(p, 3));
    if (p.s.kind == kP) type = static_cast<std::uint32_t>(cabac_p_type(p));
    if (p.s.kind == kB) type = static_cast<std::uint32_t>(cabac_b_type(p));
  } else {
    const std::uint32_t max = p.s.kind == kI ? 25 : p.s.kind == kP ? 30 : 48;
    if (!p.bits.read_ue(type) || type > max) return false;
  }
  const int t = static_cast<int>(type);
  kind = p.s.kind == kI ? intra_kind(t) : p.s.kind == kP ? p_kind(t) : b_kind(t);
  return true;
}

bool read_transform_8x8_flag(Parser& p) {
  if (p.s.cabac) {
    const int inc = (p.left != nullptr && p.left->transform8x8 ? 1 : 0) +
                    (p.above != nullptr && p.above->transform8x8 ? 1 : 0);
    p.cur->transform8x8 = p.bin(399 + inc) != 0;
  } else {
    p.cur->transform8x8 = p.bits.read_bit() != 0;
  }
  return true;
}

bool read_intra_pred(Parser& p) {
  if (p.cur->intra_nxn) {
    const int blocks = p.cur->transform8x8 ? 4 : 16;
    for (int i = 0; i < blocks; ++i) {
      int rem = -1;
      if (p.s.cabac) {
        if (p.bin(68) == 0) {
          rem = 0;
          for (int b = 0; b < 3; ++b) rem |= static_cast<int>(p.bin(69)) << b;
        }
      } else if (p.bits.read_bit() == 0) {
        rem = static_cast<int>(p.bits.read_bits(3));
      }
      if (p.rec != nullptr)
        p.rec->rem_pred_mode[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(rem);
    }
  }
  if (p.s.chroma_array_type != 1 && p.s.chroma_array_type != 2) return true;
  std::uint32_t mode = 0;
  if (p.s.cabac) {
    auto cond = [](const MbState* n) {
      return n != nullptr && n->intra && !n->pcm && n->chroma_pred_mode != 0 ? 1 : 0;
    };
    const int inc = cond(p.left) + cond(p.above);
    if (p.bin(64 + inc) != 0) {
      mode = 1;
      while (mode < 3 && p.bin(67) != 0) ++mode;
    }
  } else if (!p.bits.read_ue(mode) || mode > 3) {
    return false;
  }
  p.cur->chroma_pred_mode = static_cast<std::uint8_t>(mode);
  if (p.rec != nullptr) p.rec->intra_chroma_pred_mode = static_cast<std::uint8_t>(mode);
  return true;
}

bool read_inter_pred(Parser& p, const MbKind& k) {
  for (int list = 0; list < 2; ++list) {
    if (p.s.ref_idx_max[static_cast<std::size_t>(list)] == 0) continue;
    for (int part = 0; part < k.parts; ++part) {
      if ((k.pred[static_cast<std::size_t>(part)] & (1 << list)) == 0) continue;
      if (!read_ref_idx(p, list, part_area(k, part))) return false;
    }
  }
  for (int list = 0; list < 2; ++list) {
    for (int part = 0; part < k.parts; ++part) {
      if ((k.pred[static_cast<std::size_t>(part)] & (1 << list)) == 0) continue;
      if (!read_mvd(p, list, part_area(k, part))) return false;
    }
  }
  return true;
}

// sub_mb_pred; `small` turns true when a sub-macroblock has parts under 8x8.
bool read_sub_mb_pred(Parser& p, const MbKind& k, bool& small) {
  std::array<SubKind, 4> subs;
  for (SubKind& sub : subs) {
    std::uint32_t type = 0;
    if (p.s.cabac) {
      type = static_cast<std::uint32_t>(p.s.kind == kP ? cabac_p_sub_type(p) : cabac_b_sub_type(p));
    } else if (!p.bits.read_ue(type) || type > (p.s.kind == kP ? 3u : 12u)) {
      return false;
    }
    const int t = static_cast<int>(type);
    sub = p.s.kind == kP ? p_sub_kind(t) : b_sub_kind(t);
    if (sub.direct ? !p.s.direct_8x8_inference : sub.parts > 1) small = true;
  }
  for (int list = 0; list < 2; ++list) {
    if (p.s.ref_idx_max[static_cast<std::size_t>(list)] == 0 || k.ref0) continue;
    for (int i = 0; i < 4; ++i) {
      const SubKind& sub = subs[static_cast<std::size_t>(i)];
      if (sub.direct || (sub.pred & (1 << list)) == 0) continue;
      if (!read_ref_idx(p, list, sub_area(SubKind{}, i, 0))) return false;
    }
  }
  for (int list = 0; list < 2; ++list) {
    for (int i = 0; i < 4; ++i) {
      const SubKind& sub = subs[static_cast<std::size_t>(i)];
      if (sub.direct || (sub.pred & (1 << list)) == 0) continue;
      for (int part = 0; part < sub.parts; ++part) {
        if (!read_mvd(p, list, sub_area(sub, i, part))) return false;
      }
    }
  }
  return true;
}

// H.264 Table 9-4: coded_block_pattern by codeNum, for chroma formats 1 and 2
// (intra 4x4 and 8x8 prediction, then inter), and for 0 and 3.
constexpr std::uint8_t kCbpIntra[48] = {
    47, 31, 15, 0,  23, 27, 29, 30, 7, 11, 13, 14, 39, 43, 45, 46, 16, 3,  5,  10, 12, 19, 21, 26,
    28, 35, 37, 42, 44, 1,  2,  4,  8, 17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41};
constexpr std::uint8_t kCbpInter[48] = {
    0,  16, 1,  2,  4,  8,  32, 3,  5,  10, 12, 15, 47, 7,  11, 13, 14, 6,  9,  31, 35, 37, 42, 44,
    33, 34, 36, 40, 39, 43, 45, 46, 17, 18, 20, 24, 19, 21, 26, 28, 23, 27, 29, 30, 22, 25, 38, 41};
constexpr std::uint8_t kCbpIntraNoChroma[16] = {15, 0,  7, 11, 13, 14, 3, 5,
                                                10, 12, 1, 2,  4,  8,  6, 9};
constexpr std::uint8_t kCbpInterNoChroma[16] = {0,  1,  2, 4,  8,  3,  5, 10,
                                                12, 15, 7, 11, 13, 14, 6, 9};

bool read_cbp(Parser& p) {
  const bool chroma = p.s.chroma_array_type == 1 || p.s.chroma_array_type == 2;
  if (!p.s.cabac) {
    std::uint32_t code = 0;
    if (!p.bits.read_ue(code) || code >= (chroma ? 48u : 16u)) return false;
    const bool intra = p.cur->intra;
    const std::uint8_t cbp = chroma ? (intra ? kCbpIntra : kCbpInter)[code]
                                    : (intra ? kCbpIntraNoChroma : kCbpInterNoChroma)[code];
    p.cur->cbp_luma = cbp & 15u;
    p.cur->cbp_chroma = static_cast<std::uint8_t>(cbp >> 4);
    return true;
  }
  // 9.3.3.1.1.4: a neighbouring 8x8 block counts when it is coded without
  // residual; unavailable and I_PCM neighbours (luma 15) never do.
  auto uncoded = [](const MbState* n, std::uint8_t cbp, int b8) {
    return n != nullptr && ((cbp >> b8) & 1u) == 0 ? 1 : 0;
  };
  std::uint8_t luma = 0;
  for (int b8 = 0; b8 < 4; ++b8) {
    const int a = b8 % 2 == 1 ? uncoded(p.cur, luma, b8 - 1)
                              : uncoded(p.left, p.left != nullptr ? p.left->cbp_luma : 0, b8 + 1);
    const int b = b8 / 2 == 1
                      ? uncoded(p.cur, luma, b8 - 2)
                      : uncoded(p.above, p.above != nullptr ? p.above->cbp_luma : 0, b8 + 2);
    luma = static_cast<std::uint8_t>(luma | (p.bin(73 + a + 2 * b) << b8));
  }
  p.cur->cbp_luma = luma;
  if (!chroma) return true;
  auto cond = [](const MbState* n, int bin) {
    return n != nullptr && (bin == 0 ? n->cbp_chroma != 0 : n->cbp_chroma == 2) ? 1 : 0;
  };
  if (p.bin(77 + cond(p.left, 0) + 2 * cond(p.above, 0)) != 0) {
    p.cur->cbp_chroma =
        static_cast<std::uint8_t>(1 + p.bin(77 + 4 + cond(p.left, 1) + 2 * cond(p.above, 1)));
  }
  return true;
}

bool read_mb_qp_delta(Parser& p) {
  // 7.4.5: -(26 + QpBdOffsetY / 2) to 25 + QpBdOffsetY / 2.
  const std::int32_t half_range = 26 + 3 * (p.s.bit_depth_luma - 8);
  std::int32_t delta = 0;
  if (p.s.cabac) {
    std::uint32_t code = 0;
    if (!cabac_unary(p, 60 + (p.prev_qp_delta_nonzero ? 1 : 0), 62, 63,
                     static_cast<std::uint32_t>(2 * half_range), code)) {
      return false;
    }
    const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
    delta = (code & 1u) != 0 ? magnitude : -magnitude;
  } else if (!p.bits.read_se(delta)) {
    return false;
  }
  p.prev_qp_delta_nonzero = delta != 0;
  if (p.rec != nullptr) p.rec->mb_qp_delta = delta;
  return delta >= -half_range && delta < half_range;
}

// ---- Residual blocks ----

// ctxBlockCat: 0 luma DC of Intra_16x16, 1 its AC, 2 luma 4x4, 3 chroma DC,
// 4 chroma AC, 5 luma 8x8.
constexpr int kCbfCatOffset[5] = {0, 4, 8, 12, 16};
constexpr int kSigCatOffset[5] = {0, 15, 29, 44, 47};
constexpr int kAbsCatOffset[5] = {0, 10, 20, 30, 39};

// H.264 Table 9-43: ctxIdxInc of the 8x8 block's significance map by scan position.
constexpr std::uint8_t kSig8x8Frame[63] = {
    0,  1,  2, 3, 4, 5,  5,  4,  4,  3, 3, 4,  4,  4,  5,  5,  4,  4,  4,  4,  3,
    3,  6,  7, 7, 7, 8,  9,  10, 9,  8, 7, 7,  6,  11, 12, 13, 11, 6,  7,  8,  9,
    14, 10, 9, 8, 6, 11, 12, 13, 11, 6, 9, 14, 10, 9,  11, 12, 13, 11, 14, 10, 12};
constexpr std::uint8_t kSig8x8Field[63] = {
    0,  1,  1,  2,  2,  3,  3,  4,  5,  6,  7,  7,  7, 8,  4,  5,  6,  9,  10, 10, 8,
    11, 12, 11, 9,  9,  10, 10, 8,  11, 12, 11, 9,  9, 10, 10, 8,  11, 12, 11, 9,  9,
    10, 10, 8,  13, 13, 9,  9,  10, 10, 8,  13, 13, 9, 9,  10, 10, 14, 14, 14, 14, 14};
constexpr std::uint8_t kLast8x8[63] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 8, 8, 8};

// residual_block_cabac after coded_block_flag: the significance map and the levels.
bool cabac_coefficients(Parser& p, int cat, int max_coeff, Dest dest) {
  const bool big = cat == 5;
  const int sig_base = big ? (p.s.field ? 436 : 402) : (p.s.field ? 277 : 105) + kSigCatOffset[cat];
  const int last_base =
      big ? (p.s.field ? 451 : 417) : (p.s.field ? 338 : 166) + kSigCatOffset[cat];
  const int chroma_dc_div = p.s.chroma_array_type == 2 ? 2 : 1;  // NumC8x8
  int levels = 1;
  // The significant positions, for a record; the last one is where the map stopped.
  std::array<std::uint8_t, 64> where{};
  int i = 0;
  for (; i < max_coeff - 1; ++i) {
    int sig_inc = i;
    int last_inc = i;
    if (cat == 3) {
      sig_inc = last_inc = std::min(i / chroma_dc_div, 2);
    } else if (big) {
      sig_inc = (p.s.field ? kSig8x8Field : kSig8x8Frame)[i];
      last_inc = kLast8x8[i];
    }
    if (p.bin(sig_base + sig_inc) == 0) continue;
    where[static_cast<std::size_t>(levels - 1)] = static_cast<std::uint8_t>(i);
    if (p.bin(last_base + last_inc) != 0) break;
    ++levels;
  }
  where[static_cast<std::size_t>(levels - 1)] = static_cast<std::uint8_t>(i);
  const int abs_base = big ? 426 : 227 + kAbsCatOffset[cat];
  const int gt1_cap = cat == 3 ? 3 : 4;
  int eq1 = 0;
  int gt1 = 0;
  for (int n = 0; n < levels; ++n) {
    std::uint32_t value = 0;
    if (p.bin(abs_base + (gt1 != 0 ? 0 : std::min(4, 1 + eq1))) != 0) {
      value = 1;
      while (value < 14 && p.bin(abs_base + 5 + std::min(gt1_cap, gt1)) != 0) ++value;
      if (value == 14 && !cabac_exp_golomb(p, 0, value)) return false;
    }
    const bool negative = p.cabac.bypass() != 0;  // coeff_sign_flag
    if (dest.at != nullptr) {
      // Levels come last position first; a damaged suffix may exceed any real level.
      const auto magnitude =
          static_cast<std::int32_t>(std::min<std::uint32_t>(value + 1, 1u << 24));
      dest.at[where[static_cast<std::size_t>(levels - 1 - n)] * dest.stride] =
          negative ? -magnitude : magnitude;
    }
    if (value == 0) {
      ++eq1;
    } else {
      ++gt1;
    }
  }
  return true;
}

// residual_block_cavlc: TotalCoeff in `total`. `max_coeff` is the block's
// coefficient count; 4 and 8 mark the chroma DC blocks.
bool cavlc_block(Parser& p, int nc, int max_coeff, int& total, Dest dest = {}) {
  CoeffToken token;
  if (!read_coeff_token(p.bits, nc, token) || token.total_coeff > max_coeff) return false;
  total = token.total_coeff;
  if (total == 0) return true;
  int suffix_length = total > 10 && token.trailing_ones < 3 ? 1 : 0;
  std::array<std::int32_t, 16> level{};  // highest frequency first
  for (int i = 0; i < total; ++i) {
    if (i < token.trailing_ones) {
      level[static_cast<std::size_t>(i)] = p.bits.read_bit() != 0 ? -1 : 1;
      continue;
    }
    int prefix = 0;
    while (p.bits.read_bit() == 0) {
      if (++prefix > kMaxLevelPrefix || p.bits.overrun()) return false;
    }
    const int suffix_size = prefix == 14 && suffix_length == 0 ? 4
                            : prefix >= 15                     ? prefix - 3
                                                               : suffix_length;
    std::int64_t code = (std::int64_t{std::min(15, prefix)} << suffix_length) +
                        p.bits.read_bits(static_cast<std::uint32_t>(suffix_size));
    if (prefix >= 15 && suffix_length == 0) code += 15;
    if (prefix >= 16) code += (std::int64_t{1} << (prefix - 3)) - 4096;
    if (i == token.trailing_ones && token.trailing_ones < 3) code += 2;
    const std::int64_t magnitude = (code >> 1) + 1;
    // Capped only where no stream of a bit depth we read reaches.
    const auto kept = static_cast<std::int32_t>(std::min<std::int64_t>(magnitude, 1 << 24));
    level[static_cast<std::size_t>(i)] = (code & 1) != 0 ? -kept : kept;
    if (suffix_length == 0) suffix_length = 1;
    if (magnitude > (std::int64_t{3} << (suffix_length - 1)) && suffix_length < 6) ++suffix_length;
  }
  int zeros_left = 0;
  if (total < max_coeff) {
    const int table = max_coeff == 4 || max_coeff == 8 ? max_coeff : 16;
    if (!read_total_zeros(p.bits, total, table, zeros_left) || zeros_left > max_coeff - total) {
      return false;
    }
  }
  int coeff = total + zeros_left;  // one past the highest position
  for (int i = 0; i < total; ++i) {
    int run = 0;
    if (i < total - 1 && zeros_left > 0) {
      if (!read_run_before(p.bits, zeros_left, run) || run > zeros_left) return false;
      zeros_left -= run;
    }
    --coeff;
    if (dest.at != nullptr) dest.at[coeff * dest.stride] = level[static_cast<std::size_t>(i)];
    coeff -= run;
  }
  return !p.bits.overrun();
}

// 9.2.1: nC of a 4x4 block of a w x h grid from the blocks left of and above it.
int cavlc_nc(Parser& p, int comp, int x, int y, int h) {
  const int w = comp < 0 ? 4 : 2;
  auto total = [&](int bx, int by, bool& available) {
    const MbState* n = p.owner(bx, by, w, h);
    available = n != nullptr;
    if (n == nullptr) return 0;
    if (comp < 0) return int{n->total_luma[static_cast<std::size_t>(by * 4 + bx)]};
    return int{
        n->total_chroma[static_cast<std::size_t>(comp)][static_cast<std::size_t>(by * 2 + bx)]};
  };
  bool has_a = false;
  bool has_b = false;
  const int na = total(x - 1, y, has_a);
  const int nb = total(x, y - 1, has_b);
  if (has_a && has_b) return (na + nb + 1) >> 1;
  return has_a ? na : nb;
}

// 9.3.3.1.1.9: condTermFlagN of one neighbour; a missing one counts for intra
// macroblocks only.
int cbf_cond(const Parser& p, const MbState* n, bool flag) {
  if (n == nullptr) return p.cur->intra ? 1 : 0;
  return flag ? 1 : 0;
}

bool luma_cbf_at(const MbState* n, int x, int y) {
  return n != nullptr && ((n->cbf_luma >> (y * 4 + x)) & 1u) != 0;
}

// One luma 4x4 block (cat 1 or 2) at (x, y); its flag or count is kept.
bool luma_block(Parser& p, int cat, int x, int y, Dest dest) {
  const int max_coeff = cat == 1 ? 15 : 16;
  const auto index = static_cast<std::size_t>(y * 4 + x);
  if (!p.s.cabac) {
    int total = 0;
    if (!cavlc_block(p, cavlc_nc(p, -1, x, y, 4), max_coeff, total, dest)) return false;
    p.cur->total_luma[index] = static_cast<std::uint8_t>(total);
    return true;
  }
  int xa = x - 1;
  int ya = y;
  int xb = x;
  int yb = y - 1;
  const MbState* na = p.owner(xa, ya, 4, 4);
  const MbState* nb = p.owner(xb, yb, 4, 4);
  const int inc =
      cbf_cond(p, na, luma_cbf_at(na, xa, ya)) + 2 * cbf_cond(p, nb, luma_cbf_at(nb, xb, yb));
  if (p.bin(85 + kCbfCatOffset[cat] + inc) == 0) return true;
  p.cur->cbf_luma = static_cast<std::uint16_t>(p.cur->cbf_luma | (1u << index));
  return cabac_coefficients(p, cat, max_coeff, dest);
}

bool chroma_ac_block(Parser& p, int comp, int x, int y, int h) {
  const auto c = static_cast<std::size_t>(comp);
  const auto index = static_cast<std::size_t>(y * 2 + x);
  const Dest dest = p.rec != nullptr ? Dest{&p.rec->chroma_ac[c][index * 16 + 1], 1} : Dest{};
  if (!p.s.cabac) {
    int total = 0;
    if (!cavlc_block(p, cavlc_nc(p, comp, x, y, h), 15, total, dest)) return false;
    p.cur->total_chroma[c][index] = static_cast<std::uint8_t>(total);
    return true;
  }
  auto flag = [c](const MbState* n, int bx, int by) {
    return n != nullptr && ((n->cbf_chroma_ac[c] >> (by * 2 + bx)) & 1u) != 0;
  };
  int xa = x - 1;
  int ya = y;
  int xb = x;
  int yb = y - 1;
  const MbState* na = p.owner(xa, ya, 2, h);
  const MbState* nb = p.owner(xb, yb, 2, h);
  const int inc = cbf_cond(p, na, flag(na, xa, ya)) + 2 * cbf_cond(p, nb, flag(nb, xb, yb));
  if (p.bin(85 + kCbfCatOffset[4] + inc) == 0) return true;
  p.cur->cbf_chroma_ac[c] = static_cast<std::uint8_t>(p.cur->cbf_chroma_ac[c] | (1u << index));
  return cabac_coefficients(p, 4, 15, dest);
}

bool luma_dc_block(Parser& p) {
  const Dest dest = p.rec != nullptr ? Dest{p.rec->luma_dc.data(), 1} : Dest{};
  if (!p.s.cabac) {
    int total = 0;
    return cavlc_block(p, cavlc_nc(p, -1, 0, 0, 4), 16, total, dest);
  }
  auto flag = [](const MbState* n) { return n != nullptr && n->cbf_luma_dc; };
  const int inc = cbf_cond(p, p.left, flag(p.left)) + 2 * cbf_cond(p, p.above, flag(p.above));
  if (p.bin(85 + kCbfCatOffset[0] + inc) == 0) return true;
  p.cur->cbf_luma_dc = true;
  return cabac_coefficients(p, 0, 16, dest);
}

bool chroma_dc_block(Parser& p, int comp, int max_coeff) {
  const auto c = static_cast<std::size_t>(comp);
  const Dest dest = p.rec != nullptr ? Dest{p.rec->chroma_dc[c].data(), 1} : Dest{};
  if (!p.s.cabac) {
    int total = 0;
    return cavlc_block(p, max_coeff == 4 ? kChromaDc420Nc : kChromaDc422Nc, max_coeff, total, dest);
  }
  auto flag = [c](const MbState* n) { return n != nullptr && n->cbf_chroma_dc[c]; };
  const int inc = cbf_cond(p, p.left, flag(p.left)) + 2 * cbf_cond(p, p.above, flag(p.above));
  if (p.bin(85 + kCbfCatOffset[3] + inc) == 0) return true;
  p.cur->cbf_chroma_dc[c] = true;
  return cabac_coefficients(p, 3, max_coeff, dest);
}

// residual( 0, 15 ) of 7.3.5.3.
bool read_residual(Parser& p) {
  MbState& m = *p.cur;
  if (m.intra16x16 && !luma_dc_block(p)) return false;
  for (int b8 = 0; b8 < 4; ++b8) {
    if (((m.cbp_luma >> b8) & 1u) == 0) continue;
    if (m.transform8x8 && p.s.cabac) {
      // No coded_block_flag outside 4:4:4: the 8x8 block counts as coded.
      for (int b4 = 0; b4 < 4; ++b4) {
        const int blk = b8 * 4 + b4;
        m.cbf_luma = static_cast<std::uint16_t>(
            m.cbf_luma | (1u << (kLuma4x4Y[static_cast<std::size_t>(blk)] * 4 +
                                 kLuma4x4X[static_cast<std::size_t>(blk)])));
      }
      const Dest dest =
          p.rec != nullptr ? Dest{&p.rec->luma[static_cast<std::size_t>(b8 * 64)], 1} : Dest{};
      if (!cabac_coefficients(p, 5, 64, dest)) return false;
      continue;
    }
    for (int b4 = 0; b4 < 4; ++b4) {
      const auto blk = static_cast<std::size_t>(b8 * 4 + b4);
      const Dest dest = p.luma_dest(static_cast<int>(blk), m.intra16x16 ? 1 : 0);
      if (!luma_block(p, m.intra16x16 ? 1 : 2, kLuma4x4X[blk], kLuma4x4Y[blk], dest)) return false;
    }
  }
  if (p.s.chroma_array_type != 1 && p.s.chroma_array_type != 2) return true;
  const int blocks = p.s.chroma_array_type == 2 ? 8 : 4;
  if (m.cbp_chroma != 0) {
    for (int comp = 0; comp < 2; ++comp) {
      if (!chroma_dc_block(p, comp, blocks)) return false;
    }
  }
  if (m.cbp_chroma == 2) {
    for (int comp = 0; comp < 2; ++comp) {
      for (int b = 0; b < blocks; ++b) {
        if (!chroma_ac_block(p, comp, b % 2, b / 2, blocks / 2)) return false;
      }
    }
  }
  return true;
}

// ---- Macroblocks ----

void mark_pcm(MbState& m) {
  m.pcm = true;
  m.cbp_luma = 15;
  m.cbp_chroma = 2;
  m.cbf_luma = 0xFFFF;
  m.cbf_luma_dc = true;
  m.cbf_chroma_dc = {true, true};
  m.cbf_chroma_ac = {0xFF, 0xFF};
  m.total_luma.fill(16);
  for (auto& comp : m.total_chroma) comp.fill(16);
}

// After the terminating bin the CABAC engine has read the last bit the encoder
// flushed, which ends in a one: rbsp_stop_one_bit at the end of a slice. Some
// encoders flush up to seven more bits of their register before that one bit;
// no decoder reads them.
constexpr std::int64_t kCabacFlushSlackBits = 7;

bool read_pcm(Parser& p) {
  mark_pcm(*p.cur);
  p.prev_qp_delta_nonzero = false;
  while (!p.bits.byte_aligned()) {
    // pcm_alignment_zero_bit, except where a CABAC flush left bits of its register.
    if (p.bits.read_bit() != 0 && !p.s.cabac) return false;
  }
  int chroma_samples = 0;
  if (p.s.chroma_array_type == 1) chroma_samples = 2 * 64;
  if (p.s.chroma_array_type == 2) chroma_samples = 2 * 128;
  if (p.rec != nullptr && p.s.bit_depth_luma == 8 && p.s.bit_depth_chroma == 8 &&
      p.s.chroma_array_type == 1) {
    for (std::uint8_t& sample : p.rec->pcm) sample = static_cast<std::uint8_t>(p.bits.read_bits(8));
    return !p.s.cabac || p.cabac.start();
  }
  p.bits.skip_bits(
      static_cast<std::uint32_t>(256 * p.s.bit_depth_luma + chroma_samples * p.s.bit_depth_chroma));
  return !p.s.cabac || p.cabac.start();
}

void record_kind(Parser& p, const MbKind& k) {
  using Kind = CodedMacroblock::Kind;
  if (!k.intra) return;
  if (k.i_type == 0) {
    p.rec->kind = Kind::Intra4x4;
  } else if (k.i_type == kIPcm) {
    p.rec->kind = Kind::Pcm;
  } else {
    p.rec->kind = Kind::Intra16x16;
    p.rec->intra16x16_pred_mode = static_cast<std::uint8_t>((k.i_type - 1) % 4);
  }
}

// macroblock_layer() of 7.3.5 for the macroblock entered.
bool read_macroblock(Parser& p) {
  MbKind k;
  if (!read_mb_type(p, k)) return false;
  MbState& m = *p.cur;
  m.intra = k.intra;
  if (p.rec != nullptr) record_kind(p, k);
  if (k.intra && k.i_type == kIPcm) return read_pcm(p);
  m.intra_nxn = k.intra && k.i_type == 0;
  m.intra16x16 = k.intra && k.i_type > 0;
  m.direct16x16 = k.direct;
  bool small_parts = false;
  if (m.intra_nxn && p.s.transform_8x8_mode && !read_transform_8x8_flag(p)) return false;
  if (p.rec != nullptr && m.transform8x8) p.rec->kind = CodedMacroblock::Kind::Intra8x8;
  if (k.intra) {
    if (!read_intra_pred(p)) return false;
  } else if (k.parts == 4) {
    if (!read_sub_mb_pred(p, k, small_parts)) return false;
  } else if (!k.direct && !read_inter_pred(p, k)) {
    return false;
  }
  if (m.intra16x16) {
    const int t = k.i_type - 1;
    m.cbp_luma = t >= 12 ? 15 : 0;
    m.cbp_chroma = static_cast<std::uint8_t>((t / 4) % 3);
  } else {
    if (!read_cbp(p)) return false;
    if (m.cbp_luma != 0 && p.s.transform_8x8_mode && !k.intra && !small_parts &&
        (!k.direct || p.s.direct_8x8_inference) && !read_transform_8x8_flag(p)) {
      return false;
    }
  }
  if (m.cbp_luma == 0 && m.cbp_chroma == 0 && !m.intra16x16) {
    p.prev_qp_delta_nonzero = false;
    return true;
  }
  return read_mb_qp_delta(p) && read_residual(p);
}

void mark_skip(Parser& p) {
  p.cur->skip = true;
  p.cur->direct16x16 = p.s.kind == kB;
  p.prev_qp_delta_nonzero = false;
}

SliceDataEnd read_macroblocks(Parser& p, std::int64_t stop_bit, std::uint32_t& count) {
  const std::int64_t data_end = p.s.cabac ? stop_bit + 1 : stop_bit;
  auto failed = [&]() {
    return static_cast<std::int64_t>(p.bits.position()) > data_end ? SliceDataEnd::Overran
                                                                   : SliceDataEnd::Invalid;
  };
  auto more_rbsp_data = [&]() { return static_cast<std::int64_t>(p.bits.position()) < stop_bit; };
  if (p.s.cabac) {
    while (!p.bits.byte_aligned()) {
      if (p.bits.read_bit() != 1) return SliceDataEnd::Invalid;  // cabac_alignment_one_bit
    }
    init_cabac_contexts(p.ctx, p.s.kind == kI ? 0 : p.s.cabac_init_idc + 1, p.s.slice_qp);
    if (!p.cabac.start()) return failed();
  }
  std::uint32_t addr = p.s.first_mb;
  bool more = true;
  while (more) {
    bool coded = true;
    if (p.s.kind != kI && !p.s.cabac) {
      std::uint32_t run = 0;
      if (!p.bits.read_ue(run)) return failed();
      if (run > p.s.picture_mbs - addr) return SliceDataEnd::Overran;
      for (std::uint32_t i = 0; i < run; ++i) {
        p.enter(addr++);
        mark_skip(p);
        ++count;
      }
      if (run > 0) coded = more = more_rbsp_data();
    } else if (p.s.kind != kI) {
      if (addr >= p.s.picture_mbs) return SliceDataEnd::Overran;
      p.enter(addr);
      const int inc = (p.left != nullptr && !p.left->skip ? 1 : 0) +
                      (p.above != nullptr && !p.above->skip ? 1 : 0);
      if (p.bin((p.s.kind == kB ? 24 : 11) + inc) != 0) {
        mark_skip(p);
        coded = false;
        ++count;
        ++addr;
      }
    }
    if (coded) {
      if (addr >= p.s.picture_mbs) return SliceDataEnd::Overran;
      p.enter(addr++);
      if (!read_macroblock(p)) return failed();
      ++count;
    }
    if (static_cast<std::int64_t>(p.bits.position()) > data_end) return SliceDataEnd::Overran;
    more = p.s.cabac ? p.cabac.terminate() == 0 : more_rbsp_data();
  }
  const auto end = static_cast<std::int64_t>(p.bits.position());
  if (end > data_end) return SliceDataEnd::Overran;
  const std::int64_t slack = p.s.cabac ? kCabacFlushSlackBits : 0;
  return end >= data_end - slack ? SliceDataEnd::Clean : SliceDataEnd::Invalid;
}

// The setup of a slice, or the reason it cannot be parsed.
SliceDataEnd make_setup(const SliceHeader& h, const AvcParameterSets& sets, SliceSetup& s) {
  const PpsInfo& pps = *sets.pps[h.pic_parameter_set_id];
  const SpsInfo& sps = *sets.sps[pps.seq_parameter_set_id];
  s.kind = static_cast<int>(h.slice_type % 5);
  if (pps.num_slice_groups_minus1 > 0 || (sps.mb_adaptive_frame_field_flag && !h.field_pic_flag) ||
      sps.chroma_format_idc == 3 || sps.separate_colour_plane_flag || s.kind == kSp ||
      s.kind == kSi) {
    return SliceDataEnd::Unsupported;
  }
  // Sets under trial may hold any values: pictures beyond the largest level
  // and bit depths outside 8 to 14 are not read.
  const std::uint64_t frame_height =
      (sps.frame_mbs_only_flag ? 1u : 2u) * std::uint64_t{sps.pic_height_in_map_units};
  const std::uint64_t picture_mbs =
      std::uint64_t{sps.pic_width_in_mbs} * (h.field_pic_flag ? frame_height / 2 : frame_height);
  if (sps.pic_width_in_mbs == 0 || picture_mbs == 0 || picture_mbs > kLargestFrameMbs ||
      sps.bit_depth_luma < 8 || sps.bit_depth_luma > 14 || sps.bit_depth_chroma < 8 ||
      sps.bit_depth_chroma > 14 || sps.chroma_format_idc > 2) {
    return SliceDataEnd::Unsupported;
  }
  s.cabac = pps.entropy_coding_mode_flag;
  s.width_mbs = sps.pic_width_in_mbs;
  s.picture_mbs = static_cast<std::uint32_t>(picture_mbs);
  s.first_mb = h.first_mb_in_slice;
  if (s.first_mb >= s.picture_mbs) return SliceDataEnd::Overran;
  s.chroma_array_type = static_cast<int>(sps.chroma_format_idc);
  s.bit_depth_luma = static_cast<int>(sps.bit_depth_luma);
  s.bit_depth_chroma = static_cast<int>(sps.bit_depth_chroma);
  s.transform_8x8_mode = pps.transform_8x8_mode_flag;
  s.direct_8x8_inference = sps.direct_8x8_inference_flag;
  s.field = h.field_pic_flag;
  s.ref_idx_max = {h.num_ref_idx_l0_active_minus1, h.num_ref_idx_l1_active_minus1};
  // 7.4.3: SliceQPY from -QpBdOffsetY to 51.
  const std::int64_t slice_qp =
      26 + std::int64_t{pps.pic_init_qp_minus26} + std::int64_t{h.slice_qp_delta};
  if (slice_qp < -6 * (s.bit_depth_luma - 8) || slice_qp > 51 || h.cabac_init_idc > 2) {
    return SliceDataEnd::Invalid;
  }
  s.slice_qp = static_cast<int>(slice_qp);
  s.slice_qp_delta = h.slice_qp_delta;
  s.cabac_init_idc = static_cast<int>(h.cabac_init_idc);
  return SliceDataEnd::Clean;
}

}  // namespace

SliceDataResult parse_slice_data(std::span<const std::uint8_t> unit, const AvcParameterSets& sets) {
  std::vector<CodedMacroblock> none;
  return parse_slice_data(unit, sets, none, 0);
}

SliceDataResult parse_slice_data(std::span<const std::uint8_t> unit, const AvcParameterSets& sets,
                                 std::vector<CodedMacroblock>& out, std::size_t limit) {
  SliceDataResult result;
  if (unit.empty() || ((unit[0] & 0x1Fu) != 1 && (unit[0] & 0x1Fu) != 5)) {
    result.end = SliceDataEnd::Unsupported;
    return result;
  }
  SliceHeader header;
  NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
  const SliceRead read = read_slice_header_to_data(unit, sets, header, reader);
  result.first_mb = header.first_mb_in_slice;
  if (read != SliceRead::Read) {
    result.end = read == SliceRead::Malformed ? SliceDataEnd::Invalid : SliceDataEnd::Unsupported;
    return result;
  }
  SliceSetup setup;
  result.end = make_setup(header, sets, setup);
  if (result.end != SliceDataEnd::Clean) return result;
  const Rbsp rbsp = unescape(unit.subspan(1));
  const std::int64_t stop_bit = rbsp.stop_bit();
  const std::uint64_t start = rbsp.bit_of(reader.position()) - reader.bits_left();
  if (stop_bit < 0 || static_cast<std::int64_t>(start) > stop_bit) {
    result.end = SliceDataEnd::Overran;
    return result;
  }
  Parser parser(setup, rbsp.bytes, start);
  if (limit > 0) {
    parser.record = &out;
    parser.record_limit = limit;
  }
  result.end = read_macroblocks(parser, stop_bit, result.macroblocks);
  result.reaches_picture_end =
      result.end == SliceDataEnd::Clean && setup.first_mb + result.macroblocks == setup.picture_mbs;
  return result;
}

}  // namespace vidsalvage
