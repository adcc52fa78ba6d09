#include "codec/intra_picture.h"

#include <algorithm>
#include <cstdlib>

namespace vidsalvage {
namespace {

using Kind = CodedMacroblock::Kind;

// 8.5.12.1: a conforming stream's scaled coefficients stay within 2^(7 + bit depth).
constexpr std::int64_t kMaxScaled = std::int64_t{1} << 15;

// Frame zig-zag scans: scan index to raster position (y * n + x).
constexpr std::array<std::uint8_t, 16> kZigzag4x4 = {0, 1,  4,  8,  5, 2,  3,  6,
                                                     9, 12, 13, 10, 7, 11, 14, 15};
constexpr std::array<std::uint8_t, 64> kZigzag8x8 = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// 8.5.9: normAdjust4x4 and normAdjust8x8 by QP % 6.
constexpr int kNorm4x4[6][3] = {{10, 16, 13}, {11, 18, 14}, {13, 20, 16},
                                {14, 23, 18}, {16, 25, 20}, {18, 29, 23}};
constexpr int kNorm8x8[6][6] = {{20, 18, 32, 19, 25, 24}, {22, 19, 35, 21, 28, 26},
                                {26, 23, 42, 24, 33, 31}, {28, 25, 45, 26, 35, 33},
                                {32, 28, 51, 30, 40, 38}, {36, 32, 58, 34, 46, 43}};
// Table 8-15: QPc for qPI 30 to 51; below 30 QPc is qPI.
constexpr int kChromaQp[22] = {29, 30, 31, 32, 32, 33, 34, 34, 35, 35, 36,
                               36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39};

int clip_sample(int v) { return std::clamp(v, 0, 255); }

std::int32_t clamp_scaled(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp(v, -kMaxScaled, kMaxScaled - 1));
}

// LevelScale with flat scaling matrices (weightScale 16), over 16.
int norm_4x4(int m, int x, int y) {
  if (x % 2 == 0 && y % 2 == 0) return kNorm4x4[m][0];
  if (x % 2 == 1 && y % 2 == 1) return kNorm4x4[m][1];
  return kNorm4x4[m][2];
}

int norm_8x8(int m, int x, int y) {
  if (x % 4 == 0 && y % 4 == 0) return kNorm8x8[m][0];
  if (x % 2 == 1 && y % 2 == 1) return kNorm8x8[m][1];
  if (x % 4 == 2 && y % 4 == 2) return kNorm8x8[m][2];
  if ((x % 4 == 0 && y % 2 == 1) || (x % 2 == 1 && y % 4 == 0)) return kNorm8x8[m][3];
  if ((x % 4 == 0 && y % 4 == 2) || (x % 4 == 2 && y % 4 == 0)) return kNorm8x8[m][4];
  return kNorm8x8[m][5];
}

int chroma_qp(int qp, int offset) {
  const int index = std::clamp(qp + offset, 0, 51);
  return index < 30 ? index : kChromaQp[index - 30];
}

// 8.5.12.1 with flat scaling: levels of a 4x4 block in scan order to scaled
// coefficients in raster order; `skip_dc` leaves position 0 for a DC value.
std::array<std::int32_t, 16> scale_4x4(const std::int32_t* levels, int qp, bool skip_dc) {
  std::array<std::int32_t, 16> d{};
  for (int i = skip_dc ? 1 : 0; i < 16; ++i) {
    if (levels[i] == 0) continue;
    const int at = kZigzag4x4[static_cast<std::size_t>(i)];
    const std::int64_t v = (std::int64_t{levels[i]} * norm_4x4(qp % 6, at % 4, at / 4)) << (qp / 6);
    d[static_cast<std::size_t>(at)] = clamp_scaled(v);
  }
  return d;
}

std::array<std::int32_t, 64> scale_8x8(const std::int32_t* levels, int qp) {
  std::array<std::int32_t, 64> d{};
  for (int i = 0; i < 64; ++i) {
    if (levels[i] == 0) continue;
    const int at = kZigzag8x8[static_cast<std::size_t>(i)];
    const std::int64_t scaled = std::int64_t{levels[i]} * 16 * norm_8x8(qp % 6, at % 8, at / 8);
    const std::int64_t v = qp >= 36 ? scaled << (qp / 6 - 6)
                                    : (scaled + (std::int64_t{1} << (5 - qp / 6))) >> (6 - qp / 6);
    d[static_cast<std::size_t>(at)] = clamp_scaled(v);
  }
  return d;
}

// 8.5.10: the Intra_16x16 DC levels (scan order) to the DC of each 4x4 block, raster.
std::array<std::int32_t, 16> luma_dc_values(const std::array<std::int32_t, 16>& levels, int qp) {
  std::array<std::int64_t, 16> c{};
  for (int i = 0; i < 16; ++i) {
    c[kZigzag4x4[static_cast<std::size_t>(i)]] =
        std::clamp<std::int64_t>(levels[static_cast<std::size_t>(i)], -kMaxScaled, kMaxScaled);
  }
  // The Hadamard transform, rows then columns; it needs no rounding.
  std::array<std::int64_t, 16> f{};
  for (int pass = 0; pass < 2; ++pass) {
    for (int k = 0; k < 4; ++k) {
      const int step = pass == 0 ? 1 : 4;
      const int base = pass == 0 ? k * 4 : k;
      auto at = [&](int n) { return static_cast<std::size_t>(base + n * step); };
      const std::int64_t a = c[at(0)] + c[at(1)];
      const std::int64_t b = c[at(0)] - c[at(1)];
      const std::int64_t e = c[at(2)] + c[at(3)];
      const std::int64_t g = c[at(2)] - c[at(3)];
      f[at(0)] = a + e;
      f[at(1)] = a - e;
      f[at(2)] = b - g;
      f[at(3)] = b + g;
    }
    c = f;
  }
  std::array<std::int32_t, 16> dc{};
  const std::int64_t scale = 16 * kNorm4x4[qp % 6][0];
  for (std::size_t i = 0; i < 16; ++i) {
    const std::int64_t v = qp >= 36
                               ? (c[i] * scale) << (qp / 6 - 6)
                               : (c[i] * scale + (std::int64_t{1} << (5 - qp / 6))) >> (6 - qp / 6);
    dc[i] = clamp_scaled(v);
  }
  return dc;
}

// 8.5.11 for 4:2:0: the 2x2 chroma DC levels to the DC of each 4x4 block.
std::array<std::int32_t, 4> chroma_dc_values(const std::array<std::int32_t, 8>& levels, int qp) {
  std::array<std::int64_t, 4> c{};
  for (std::size_t i = 0; i < 4; ++i) {
    c[i] = std::clamp<std::int64_t>(levels[i], -kMaxScaled, kMaxScaled);
  }
  const std::array<std::int64_t, 4> f = {c[0] + c[1] + c[2] + c[3], c[0] - c[1] + c[2] - c[3],
                                         c[0] + c[1] - c[2] - c[3], c[0] - c[1] - c[2] + c[3]};
  std::array<std::int32_t, 4> dc{};
  const std::int64_t scale = 16 * kNorm4x4[qp % 6][0];
  for (std::size_t i = 0; i < 4; ++i) dc[i] = clamp_scaled(((f[i] * scale) << (qp / 6)) >> 5);
  return dc;
}

// ---- The samples around a block ----

// A plane of the picture being rebuilt, and which of its macroblocks a block may predict from.
struct Plane {
  std::uint8_t* samples = nullptr;
  int stride = 0;
  int mb_size = 16;  // 16 luma, 8 chroma
};

struct Neighbours {
  bool left = false;
  bool top = false;
  bool top_left = false;
  bool top_right = false;  // the macroblock above and to the right
};

// The samples next to an n x n block at (x, y) of a plane: top[0] is above the
// block's first column, top[-1] (kept in top_left) above and left, left[0] left
// of its first row. Unavailable samples read 128.
struct Edge {
  bool has_top = false;
  bool has_left = false;
  bool has_top_left = false;
  bool has_top_right = false;
  int top_left = 128;
  std::array<int, 16> top{};
  std::array<int, 16> left{};
};

// The decoding order of 4x4 block (bx, by) of a macroblock (6.4.3).
int block_order(int bx, int by) { return ((by / 2) * 2 + bx / 2) * 4 + (by % 2) * 2 + bx % 2; }

// The edge of the n x n block (bx, by) (in n x n units) of the macroblock at
// (mx, my) in samples. The block above and right lies in this macroblock when
// it was decoded first, in the one above (or above right) on the top row.
Edge edge_of(const Plane& p, const Neighbours& nb, int mx, int my, int bx, int by, int n) {
  Edge e;
  const int blocks = p.mb_size / n;
  const int x = mx + bx * n;
  const int y = my + by * n;
  e.has_left = bx > 0 || nb.left;
  e.has_top = by > 0 || nb.top;
  e.has_top_left = bx > 0 && by > 0 ? true : bx > 0 ? nb.top : by > 0 ? nb.left : nb.top_left;
  if (by == 0) {
    e.has_top_right = bx + 1 < blocks ? nb.top : nb.top_right;
  } else if (bx + 1 < blocks) {
    const int scale = n / 4;
    e.has_top_right =
        block_order((bx + 1) * scale, (by - 1) * scale) < block_order(bx * scale, by * scale);
  }
  e.top.fill(128);
  e.left.fill(128);
  if (e.has_top) {
    const std::uint8_t* row = p.samples + (y - 1) * p.stride + x;
    for (int i = 0; i < n; ++i) e.top[static_cast<std::size_t>(i)] = row[i];
    for (int i = n; i < 2 * n && i < 16; ++i) {
      e.top[static_cast<std::size_t>(i)] = e.has_top_right ? row[i] : row[n - 1];
    }
  }
  if (e.has_left) {
    for (int i = 0; i < n; ++i) {
      e.left[static_cast<std::size_t>(i)] = p.samples[(y + i) * p.stride + x - 1];
    }
  }
  if (e.has_top_left) e.top_left = p.samples[(y - 1) * p.stride + x - 1];
  return e;
}

// 8.3.2.2.1: the reference samples of Intra_8x8, filtered.
Edge filtered(const Edge& e) {
  Edge f = e;
  if (e.has_top) {
    f.top[0] = e.has_top_left ? (e.top_left + 2 * e.top[0] + e.top[1] + 2) >> 2
                              : (3 * e.top[0] + e.top[1] + 2) >> 2;
    for (std::size_t i = 1; i < 15; ++i) {
      f.top[i] = (e.top[i - 1] + 2 * e.top[i] + e.top[i + 1] + 2) >> 2;
    }
    f.top[15] = (e.top[14] + 3 * e.top[15] + 2) >> 2;
  }
  if (e.has_top_left) {
    if (e.has_top && e.has_left) {
      f.top_left = (e.top[0] + 2 * e.top_left + e.left[0] + 2) >> 2;
    } else if (e.has_top) {
      f.top_left = (3 * e.top_left + e.top[0] + 2) >> 2;
    } else if (e.has_left) {
      f.top_left = (3 * e.top_left + e.left[0] + 2) >> 2;
    }
  }
  if (e.has_left) {
    f.left[0] = e.has_top_left ? (e.top_left + 2 * e.left[0] + e.left[1] + 2) >> 2
                               : (3 * e.left[0] + e.left[1] + 2) >> 2;
    for (std::size_t i = 1; i < 7; ++i) {
      f.left[i] = (e.left[i - 1] + 2 * e.left[i] + e.left[i + 1] + 2) >> 2;
    }
    f.left[7] = (e.left[6] + 3 * e.left[7] + 2) >> 2;
  }
  return f;
}

// ---- Prediction (8.3.1.2, 8.3.2.2: the same formulas over 4 or 8 samples) ----

// p[x, -1] for x from -1, p[-1, y] for y from -1.
int above(const Edge& e, int x) { return x < 0 ? e.top_left : e.top[static_cast<std::size_t>(x)]; }
int beside(const Edge& e, int y) {
  return y < 0 ? e.top_left : e.left[static_cast<std::size_t>(y)];
}

int dc_value(const Edge& e, int n) {
  int top = 0;
  int left = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    top += e.top[i];
    left += e.left[i];
  }
  const int shift = n == 4 ? 2 : 3;
  if (e.has_top && e.has_left) return (top + left + n) >> (shift + 1);
  if (e.has_left) return (left + n / 2) >> shift;
  if (e.has_top) return (top + n / 2) >> shift;
  return 128;
}

int directional(int mode, const Edge& e, int n, int x, int y) {
  auto three = [](int a, int b, int c) { return (a + 2 * b + c + 2) >> 2; };
  switch (mode) {
    case 0:
      return e.top[static_cast<std::size_t>(x)];
    case 1:
      return e.left[static_cast<std::size_t>(y)];
    case 3:  // diagonal down left
      if (x == n - 1 && y == n - 1) return (above(e, 2 * n - 2) + 3 * above(e, 2 * n - 1) + 2) >> 2;
      return three(above(e, x + y), above(e, x + y + 1), above(e, x + y + 2));
    case 4:  // diagonal down right
      if (x > y) return three(above(e, x - y - 2), above(e, x - y - 1), above(e, x - y));
      if (x < y) return three(beside(e, y - x - 2), beside(e, y - x - 1), beside(e, y - x));
      return three(above(e, 0), e.top_left, beside(e, 0));
    case 5: {  // vertical right
      const int z = 2 * x - y;
      const int i = x - (y >> 1);
      if (z >= 0 && z % 2 == 0) return (above(e, i - 1) + above(e, i) + 1) >> 1;
      if (z >= 0) return three(above(e, i - 2), above(e, i - 1), above(e, i));
      if (z == -1) return three(beside(e, 0), e.top_left, above(e, 0));
      return three(beside(e, y - 2 * x - 1), beside(e, y - 2 * x - 2), beside(e, y - 2 * x - 3));
    }
    case 6: {  // horizontal down
      const int z = 2 * y - x;
      const int i = y - (x >> 1);
      if (z >= 0 && z % 2 == 0) return (beside(e, i - 1) + beside(e, i) + 1) >> 1;
      if (z >= 0) return three(beside(e, i - 2), beside(e, i - 1), beside(e, i));
      if (z == -1) return three(beside(e, 0), e.top_left, above(e, 0));
      return three(above(e, x - 2 * y - 1), above(e, x - 2 * y - 2), above(e, x - 2 * y - 3));
    }
    case 7: {  // vertical left
      const int i = x + (y >> 1);
      if (y % 2 == 0) return (above(e, i) + above(e, i + 1) + 1) >> 1;
      return three(above(e, i), above(e, i + 1), above(e, i + 2));
    }
    case 8: {  // horizontal up
      const int z = x + 2 * y;
      const int i = y + (x >> 1);
      if (z > 2 * n - 3) return e.left[static_cast<std::size_t>(n - 1)];
      if (z == 2 * n - 3) return (beside(e, n - 2) + 3 * beside(e, n - 1) + 2) >> 2;
      if (z % 2 == 0) return (beside(e, i) + beside(e, i + 1) + 1) >> 1;
      return three(beside(e, i), beside(e, i + 1), beside(e, i + 2));
    }
    default:
      return dc_value(e, n);
  }
}

void predict_nxn(int mode, const Edge& e, int n, std::array<int, 256>& pred) {
  const int dc = dc_value(e, n);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      pred[static_cast<std::size_t>(y * n + x)] = mode == 2 ? dc : directional(mode, e, n, x, y);
    }
  }
}

// 8.3.3 and 8.3.4.4: plane prediction of a w x h block (16x16 luma, 8x8 chroma).
int plane_value(const Edge& e, int w, int h, int x, int y) {
  int hs = 0;
  int vs = 0;
  for (int i = 0; i < w / 2; ++i) hs += (i + 1) * (above(e, w / 2 + i) - above(e, w / 2 - 2 - i));
  for (int i = 0; i < h / 2; ++i) vs += (i + 1) * (beside(e, h / 2 + i) - beside(e, h / 2 - 2 - i));
  const int a = 16 * (beside(e, h - 1) + above(e, w - 1));
  const int b = w == 16 ? (5 * hs + 32) >> 6 : (34 * hs + 32) >> 6;
  const int c = h == 16 ? (5 * vs + 32) >> 6 : (34 * vs + 32) >> 6;
  return clip_sample((a + b * (x - (w / 2 - 1)) + c * (y - (h / 2 - 1)) + 16) >> 5);
}

// ---- Rebuilding a macroblock ----

struct Rebuild {
  IntraPicture& pic;
  std::vector<std::uint32_t> slice_of;  // per macroblock: slice_first_mb + 1, 0 not rebuilt
  std::vector<std::int8_t> modes;       // per 4x4 luma block: Intra4x4/8x8 mode, -1 other
  int width4 = 0;                       // 4x4 blocks per row
};

Neighbours neighbours_of(const Rebuild& r, std::uint32_t address) {
  const std::uint32_t w = r.pic.width_mbs;
  const std::uint32_t mx = address % w;
  const std::uint32_t slice = r.slice_of[address];
  auto same = [&](bool inside, std::uint32_t n) { return inside && r.slice_of[n] == slice; };
  Neighbours nb;
  nb.left = same(mx > 0, address - 1);
  nb.top = same(address >= w, address - w);
  nb.top_left = same(mx > 0 && address >= w, address - w - 1);
  nb.top_right = same(mx + 1 < w && address >= w, address - w + 1);
  return nb;
}

// Returns how many samples were clipped.
int add_residual(const Plane& p, int x, int y, int n, const std::array<int, 256>& pred,
                 const std::int32_t* residual) {
  int clipped = 0;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(j * n + i);
      const int v = pred[k] + residual[k];
      if (v < 0 || v > 255) ++clipped;
      p.samples[(y + j) * p.stride + x + i] = static_cast<std::uint8_t>(clip_sample(v));
    }
  }
  return clipped;
}

// 8.3.1.1 and 8.3.2.1: the mode of a 4x4 or 8x8 block from its neighbours' and
// its rem_intra_pred_mode. (gx, gy) is the block's top-left 4x4 block in the picture.
int nxn_mode(const Rebuild& r, const Neighbours& nb, int gx, int gy, bool in_left, bool in_top,
             int rem) {
  const bool has_a = in_left || nb.left;
  const bool has_b = in_top || nb.top;
  int predicted = 2;
  if (has_a && has_b) {
    const int a = r.modes[static_cast<std::size_t>(gy * r.width4 + gx - 1)];
    const int b = r.modes[static_cast<std::size_t>((gy - 1) * r.width4 + gx)];
    predicted = std::min(a < 0 ? 2 : a, b < 0 ? 2 : b);
  }
  if (rem < 0) return predicted;
  return rem < predicted ? rem : rem + 1;
}

void rebuild_nxn(Rebuild& r, const CodedMacroblock& mb, const Neighbours& nb, int qp) {
  const Plane luma{r.pic.luma.data(), static_cast<int>(r.pic.width_mbs * 16), 16};
  const int n = mb.kind == Kind::Intra8x8 ? 8 : 4;
  const int mx = static_cast<int>(mb.address % r.pic.width_mbs) * 16;
  const int my = static_cast<int>(mb.address / r.pic.width_mbs) * 16;
  const int count = n == 8 ? 4 : 16;
  std::array<int, 256> pred{};
  for (int blk = 0; blk < count; ++blk) {
    // Block blk's position: 8x8 blocks in raster order, 4x4 ones in pairs of pairs.
    const int bx = n == 8 ? blk % 2 : (blk / 4 % 2) * 2 + blk % 2;
    const int by = n == 8 ? blk / 2 : (blk / 8) * 2 + (blk / 2) % 2;
    const int gx = (mx + bx * n) / 4;
    const int gy = (my + by * n) / 4;
    const int mode =
        nxn_mode(r, nb, gx, gy, bx > 0, by > 0, mb.rem_pred_mode[static_cast<std::size_t>(blk)]);
    for (int j = 0; j < n / 4; ++j) {
      for (int i = 0; i < n / 4; ++i) {
        r.modes[static_cast<std::size_t>((gy + j) * r.width4 + gx + i)] =
            static_cast<std::int8_t>(mode);
      }
    }
    const Edge e = edge_of(luma, nb, mx, my, bx, by, n);
    predict_nxn(mode, n == 8 ? filtered(e) : e, n, pred);
    if (n == 8) {
      std::array<std::int32_t, 64> d = scale_8x8(&mb.luma[static_cast<std::size_t>(blk * 64)], qp);
      inverse_transform_8x8(d);
      r.pic.luma_clipped += static_cast<std::uint64_t>(
          add_residual(luma, mx + bx * n, my + by * n, n, pred, d.data()));
    } else {
      std::array<std::int32_t, 16> d =
          scale_4x4(&mb.luma[static_cast<std::size_t>(blk * 16)], qp, false);
      inverse_transform_4x4(d);
      r.pic.luma_clipped += static_cast<std::uint64_t>(
          add_residual(luma, mx + bx * n, my + by * n, n, pred, d.data()));
    }
  }
}

int dc_16x16(const Edge& e) {
  int top = 0;
  int left = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    top += e.top[i];
    left += e.left[i];
  }
  if (e.has_top && e.has_left) return (top + left + 16) >> 5;
  if (e.has_left) return (left + 8) >> 4;
  if (e.has_top) return (top + 8) >> 4;
  return 128;
}

// 8.3.4.1 to 8.3.4.3: each 4x4 chroma block takes its own DC; the two off the
// diagonal prefer the side they touch.
int chroma_dc(const Edge& e, int cx, int cy) {
  int top = 0;
  int left = 0;
  for (int i = 0; i < 4; ++i) {
    top += e.top[static_cast<std::size_t>(cx * 4 + i)];
    left += e.left[static_cast<std::size_t>(cy * 4 + i)];
  }
  const bool top_first = cx == 1 && cy == 0;
  const bool left_first = cx == 0 && cy == 1;
  if (!top_first && !left_first && e.has_top && e.has_left) return (top + left + 4) >> 3;
  if (e.has_top && !left_first) return (top + 2) >> 2;
  if (e.has_left) return (left + 2) >> 2;
  if (e.has_top) return (top + 2) >> 2;
  return 128;
}

// Predicts a whole macroblock of a plane (16x16 luma, 8x8 chroma) by `mode` in
// the Intra_16x16 numbering: 0 vertical, 1 horizontal, 2 DC, 3 plane.
void predict_whole(const Plane& p, const Neighbours& nb, int mx, int my, int mode,
                   std::array<int, 256>& pred) {
  const int n = p.mb_size;
  const Edge e = edge_of(p, nb, mx, my, 0, 0, n);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      int v = 128;
      if (mode == 0) v = e.top[static_cast<std::size_t>(x)];
      if (mode == 1) v = e.left[static_cast<std::size_t>(y)];
      if (mode == 2) v = n == 16 ? dc_16x16(e) : chroma_dc(e, x / 4, y / 4);
      if (mode == 3) v = plane_value(e, n, n, x, y);
      pred[static_cast<std::size_t>(y * n + x)] = v;
    }
  }
}

// The residual of a macroblock of 4x4 blocks whose DC came apart (Intra_16x16
// luma, chroma): each block's AC levels scaled, its DC set, transformed, added.
int add_dc_blocks(const Plane& p, int mx, int my, const std::array<int, 256>& pred,
                  const std::int32_t* ac, const std::int32_t* dc, int qp) {
  const int blocks = p.mb_size / 4;
  std::array<std::int32_t, 256> residual{};
  for (int by = 0; by < blocks; ++by) {
    for (int bx = 0; bx < blocks; ++bx) {
      // AC levels by block: luma by decoding order, chroma in raster order.
      const int index = blocks == 4 ? block_order(bx, by) : by * 2 + bx;
      std::array<std::int32_t, 16> d = scale_4x4(ac + index * 16, qp, true);
      d[0] = dc[by * blocks + bx];
      inverse_transform_4x4(d);
      for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
          residual[static_cast<std::size_t>((by * 4 + j) * p.mb_size + bx * 4 + i)] =
              d[static_cast<std::size_t>(j * 4 + i)];
        }
      }
    }
  }
  return add_residual(p, mx, my, p.mb_size, pred, residual.data());
}

void rebuild_16x16(Rebuild& r, const CodedMacroblock& mb, const Neighbours& nb, int qp) {
  const Plane luma{r.pic.luma.data(), static_cast<int>(r.pic.width_mbs * 16), 16};
  const int mx = static_cast<int>(mb.address % r.pic.width_mbs) * 16;
  const int my = static_cast<int>(mb.address / r.pic.width_mbs) * 16;
  std::array<int, 256> pred{};
  predict_whole(luma, nb, mx, my, mb.intra16x16_pred_mode, pred);
  const std::array<std::int32_t, 16> dc = luma_dc_values(mb.luma_dc, qp);
  r.pic.luma_clipped +=
      static_cast<std::uint64_t>(add_dc_blocks(luma, mx, my, pred, mb.luma.data(), dc.data(), qp));
}

void rebuild_chroma(Rebuild& r, const CodedMacroblock& mb, const Neighbours& nb, int qp,
                    int offset) {
  static constexpr int kLumaNumbering[4] = {2, 1, 0, 3};  // chroma DC, H, V, plane
  const int mx = static_cast<int>(mb.address % r.pic.width_mbs) * 8;
  const int my = static_cast<int>(mb.address / r.pic.width_mbs) * 8;
  const int qpc = chroma_qp(qp, offset);
  for (std::size_t c = 0; c < 2; ++c) {
    const Plane plane{r.pic.chroma[c].data(), static_cast<int>(r.pic.width_mbs * 8), 8};
    std::array<int, 256> pred{};
    predict_whole(plane, nb, mx, my, kLumaNumbering[mb.intra_chroma_pred_mode & 3u], pred);
    const std::array<std::int32_t, 4> dc = chroma_dc_values(mb.chroma_dc[c], qpc);
    (void)add_dc_blocks(plane, mx, my, pred, mb.chroma_ac[c].data(), dc.data(), qpc);
  }
}

void copy_pcm(Rebuild& r, const CodedMacroblock& mb) {
  const std::uint32_t w = r.pic.width_mbs;
  const std::size_t mx = mb.address % w;
  const std::size_t my = mb.address / w;
  for (std::size_t y = 0; y < 16; ++y) {
    for (std::size_t x = 0; x < 16; ++x) {
      r.pic.luma[(my * 16 + y) * w * 16 + mx * 16 + x] = mb.pcm[y * 16 + x];
    }
  }
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t y = 0; y < 8; ++y) {
      for (std::size_t x = 0; x < 8; ++x) {
        r.pic.chroma[c][(my * 8 + y) * w * 8 + mx * 8 + x] = mb.pcm[256 + c * 64 + y * 8 + x];
      }
    }
  }
}

// Mean absolute steps between horizontally and vertically neighbouring samples
// of rebuilt macroblocks, on block edges of `block` samples and inside blocks.
struct Steps {
  double edge = 0;
  double inner = 0;
  std::uint64_t edges = 0;
  std::uint64_t inners = 0;
};

void add_steps(const IntraPicture& pic, const std::vector<std::uint8_t>& plane, int mb_size,
               int block, Steps& s) {
  const auto w = static_cast<std::size_t>(pic.width_mbs) * static_cast<std::size_t>(mb_size);
  const auto size = static_cast<std::size_t>(mb_size);
  auto rebuilt = [&](std::size_t x, std::size_t y) {
    return pic.rebuilt[(y / size) * pic.width_mbs + x / size] != 0;
  };
  const std::size_t h = plane.size() / w;
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      if (!rebuilt(x, y)) continue;
      const int v = plane[y * w + x];
      if (x > 0 && rebuilt(x - 1, y)) {
        const int step = std::abs(v - plane[y * w + x - 1]);
        if (x % static_cast<std::size_t>(block) == 0) {
          s.edge += step;
          ++s.edges;
        } else {
          s.inner += step;
          ++s.inners;
        }
      }
      if (y > 0 && rebuilt(x, y - 1)) {
        const int step = std::abs(v - plane[(y - 1) * w + x]);
        if (y % static_cast<std::size_t>(block) == 0) {
          s.edge += step;
          ++s.edges;
        } else {
          s.inner += step;
          ++s.inners;
        }
      }
    }
  }
}

double ratio(const Steps& s) {
  if (s.edges == 0 || s.inners == 0) return 0;
  const double inner = s.inner / static_cast<double>(s.inners);
  const double edge = s.edge / static_cast<double>(s.edges);
  // A flat picture has no steps at all: it shows no blocks either.
  return inner > 0 ? edge / inner : edge > 0 ? edge : 1;
}

}  // namespace

void inverse_transform_4x4(std::array<std::int32_t, 16>& d) {
  // 8.5.12.2: rows, then columns, then the rounding shift.
  for (int pass = 0; pass < 2; ++pass) {
    for (int k = 0; k < 4; ++k) {
      const int step = pass == 0 ? 1 : 4;
      const int base = pass == 0 ? k * 4 : k;
      auto at = [&](int n) { return static_cast<std::size_t>(base + n * step); };
      const std::int32_t e = d[at(0)] + d[at(2)];
      const std::int32_t f = d[at(0)] - d[at(2)];
      const std::int32_t g = (d[at(1)] >> 1) - d[at(3)];
      const std::int32_t h = d[at(1)] + (d[at(3)] >> 1);
      d[at(0)] = e + h;
      d[at(1)] = f + g;
      d[at(2)] = f - g;
      d[at(3)] = e - h;
    }
  }
  for (std::int32_t& v : d) v = (v + 32) >> 6;
}

void inverse_transform_8x8(std::array<std::int32_t, 64>& d) {
  // 8.5.13.2: rows, then columns, then the rounding shift.
  for (int pass = 0; pass < 2; ++pass) {
    for (int k = 0; k < 8; ++k) {
      const int step = pass == 0 ? 1 : 8;
      const int base = pass == 0 ? k * 8 : k;
      auto at = [&](int n) { return static_cast<std::size_t>(base + n * step); };
      const std::int32_t a0 = d[at(0)] + d[at(4)];
      const std::int32_t a4 = d[at(0)] - d[at(4)];
      const std::int32_t a2 = (d[at(2)] >> 1) - d[at(6)];
      const std::int32_t a6 = d[at(2)] + (d[at(6)] >> 1);
      const std::int32_t b0 = a0 + a6;
      const std::int32_t b2 = a4 + a2;
      const std::int32_t b4 = a4 - a2;
      const std::int32_t b6 = a0 - a6;
      const std::int32_t d1 = d[at(1)];
      const std::int32_t d3 = d[at(3)];
      const std::int32_t d5 = d[at(5)];
      const std::int32_t d7 = d[at(7)];
      const std::int32_t a1 = -d3 + d5 - d7 - (d7 >> 1);
      const std::int32_t a3 = d1 + d7 - d3 - (d3 >> 1);
      const std::int32_t a5 = -d1 + d7 + d5 + (d5 >> 1);
      const std::int32_t a7 = d3 + d5 + d1 + (d1 >> 1);
      const std::int32_t b1 = a1 + (a7 >> 2);
      const std::int32_t b7 = a7 - (a1 >> 2);
      const std::int32_t b3 = a3 + (a5 >> 2);
      const std::int32_t b5 = (a3 >> 2) - a5;
      d[at(0)] = b0 + b7;
      d[at(1)] = b2 + b5;
      d[at(2)] = b4 + b3;
      d[at(3)] = b6 + b1;
      d[at(4)] = b6 - b1;
      d[at(5)] = b4 - b3;
      d[at(6)] = b2 - b5;
      d[at(7)] = b0 - b7;
    }
  }
  for (std::int32_t& v : d) v = (v + 32) >> 6;
}

std::array<std::uint8_t, 16> predict_4x4(int mode, const std::array<int, 8>& top, int top_left,
                                         const std::array<int, 4>& left) {
  Edge e;
  e.has_top = e.has_left = e.has_top_left = e.has_top_right = true;
  e.top_left = top_left;
  std::copy(top.begin(), top.end(), e.top.begin());
  std::copy(left.begin(), left.end(), e.left.begin());
  std::array<int, 256> pred{};
  predict_nxn(mode, e, 4, pred);
  std::array<std::uint8_t, 16> out{};
  for (std::size_t i = 0; i < 16; ++i) out[i] = static_cast<std::uint8_t>(pred[i]);
  return out;
}

bool rebuild_intra(std::span<const CodedMacroblock> macroblocks, std::uint32_t width_mbs,
                   std::uint32_t height_mbs, const QuantSettings& settings, IntraPicture& out) {
  const std::uint64_t mbs = std::uint64_t{width_mbs} * height_mbs;
  if (mbs == 0 || mbs > kLargestFrameMbs) return false;
  out.width_mbs = width_mbs;
  out.height_mbs = height_mbs;
  out.luma.assign(static_cast<std::size_t>(mbs) * 256, 128);
  for (auto& plane : out.chroma) plane.assign(static_cast<std::size_t>(mbs) * 64, 128);
  out.rebuilt.assign(static_cast<std::size_t>(mbs), 0);
  out.luma_clipped = 0;
  Rebuild r{out, std::vector<std::uint32_t>(static_cast<std::size_t>(mbs), 0),
            std::vector<std::int8_t>(static_cast<std::size_t>(mbs) * 16, -1),
            static_cast<int>(width_mbs * 4)};
  int qp = 0;
  std::uint32_t slice = 0;
  for (const CodedMacroblock& mb : macroblocks) {
    if (mb.kind == Kind::Inter || mb.address >= mbs || r.slice_of[mb.address] != 0) break;
    if (slice != mb.slice_first_mb + 1) {
      slice = mb.slice_first_mb + 1;
      // The slice QP, kept in range so that a wrong trial value cannot index past the tables.
      qp = std::clamp(settings.pic_init_qp + mb.slice_qp_delta, 0, 51);
    }
    r.slice_of[mb.address] = slice;
    // 7.4.5: QP_Y wraps around 52 values; I_PCM keeps the QP of the one before.
    if (mb.kind != Kind::Pcm) {
      qp = static_cast<int>(((std::int64_t{qp} + mb.mb_qp_delta) % 52 + 52) % 52);
    }
    const Neighbours nb = neighbours_of(r, mb.address);
    if (mb.kind == Kind::Pcm) {
      copy_pcm(r, mb);
    } else {
      if (mb.kind == Kind::Intra16x16) {
        rebuild_16x16(r, mb, nb, qp);
      } else {
        rebuild_nxn(r, mb, nb, qp);
      }
      rebuild_chroma(r, mb, nb, qp, settings.chroma_qp_index_offset);
    }
    out.rebuilt[mb.address] = 1;
  }
  return true;
}

Blockiness blockiness(const IntraPicture& picture) {
  Steps luma;
  add_steps(picture, picture.luma, 16, 4, luma);
  Steps chroma;
  for (const auto& plane : picture.chroma) add_steps(picture, plane, 8, 4, chroma);
  return {ratio(luma), ratio(chroma)};
}

}  // namespace vidsalvage
