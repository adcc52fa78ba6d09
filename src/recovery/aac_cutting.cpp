#include "recovery/aac_cutting.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "recovery/aac_splitter.h"

namespace vidsalvage {
namespace {

// A run of one byte this long is never cut into frames, whatever frame sizes the
// reference had.
constexpr std::int64_t kMinFillRunBytes = 64;
constexpr double kPseudoCount = 0.01;  // for first bytes the reference never showed
constexpr double kFramePenalty = 2.0;  // a frame must be this much likelier than noise
// Frames lie back to back: leaving bytes out of every frame costs a price for the
// stretch left out and a little for each byte, so that a cut never shortens a
// frame to drop a few bytes of its tail, while a long run of noise is still
// cheaper left out than cut into unlikely frames.
constexpr double kSkipCost = 8.0;
constexpr double kSkipCostPerByte = 0.02;
constexpr std::int64_t kSizeSpread = 8;  // frame sizes are taken to vary by this much
constexpr double kSizeFloor = 1e-6;

constexpr double kNever = -std::numeric_limits<double>::infinity();

}  // namespace

AacFrameScores::AacFrameScores(const AudioModel& audio) : first_counts_(256, 0) {
  for (const auto& [start, count] : audio.starts2) {
    first_counts_[start >> 8] += count;
    frames_ += count;
  }
  // A model file keeps the starts sorted and once each; a model made otherwise
  // is put in that order here, counts of one start added up.
  Counts<std::uint16_t> starts = audio.starts2;
  std::sort(starts.begin(), starts.end());
  for (const auto& entry : starts) {
    if (!start_counts_.empty() && start_counts_.back().first == entry.first) {
      start_counts_.back().second += entry.second;
    } else {
      start_counts_.push_back(entry);
    }
  }
  std::uint64_t sized = 0;
  std::int64_t largest = 0;
  for (const auto& [size, count] : audio.sizes) {
    sized += count;
    largest = std::max<std::int64_t>(largest, size);
  }
  const std::int64_t max_frame = std::min(kMaxAdtsPayload, 2 * largest + 64);
  // A triangular kernel spreads each size seen over its neighbours.
  std::vector<double> density(static_cast<std::size_t>(max_frame) + 1, 0.0);
  const double norm = static_cast<double>((kSizeSpread + 1) * (kSizeSpread + 1));
  for (const auto& [size, count] : audio.sizes) {
    for (std::int64_t d = -kSizeSpread; d <= kSizeSpread; ++d) {
      const std::int64_t s = static_cast<std::int64_t>(size) + d;
      if (s < 1 || s > max_frame) continue;
      density[static_cast<std::size_t>(s)] +=
          static_cast<double>(count) * static_cast<double>(kSizeSpread + 1 - std::abs(d)) / norm;
    }
  }
  size_scores_.assign(density.size(), kNever);
  for (std::size_t s = 1; s < density.size(); ++s) {
    const double p = sized == 0 ? 0.0 : density[s] / static_cast<double>(sized);
    // Against sizes spread evenly over 1 to max_frame.
    size_scores_[s] = std::log((p + kSizeFloor) * static_cast<double>(max_frame));
  }
}

double AacFrameScores::start_score(std::uint8_t first, std::uint8_t second) const {
  const double frames = static_cast<double>(frames_);
  const double firsts = static_cast<double>(first_counts_[first]);
  const double p_first = (firsts + kPseudoCount) / (frames + 256 * kPseudoCount);
  const auto start = static_cast<std::uint16_t>(first << 8 | second);
  const auto found = std::lower_bound(start_counts_.begin(), start_counts_.end(), start,
                                      [](const std::pair<std::uint16_t, std::uint64_t>& entry,
                                         std::uint16_t key) { return entry.first < key; });
  const std::uint64_t seen =
      found != start_counts_.end() && found->first == start ? found->second : 0;
  const double p_second =
      (static_cast<double>(seen) + kPseudoCount) / (firsts + 256 * kPseudoCount);
  return std::log(p_first * p_second * 65536.0);
}

double AacFrameScores::size_score(std::int64_t size) const {
  if (size < 1 || size > max_frame()) return kNever;
  return size_scores_[static_cast<std::size_t>(size)];
}

namespace {

// The best cut of `stretch` by the scores, in pieces counted from its start.
// Without `trusted_start` a frame begins at the start only with a byte frames
// began with: the start is where damage ended, as likely inside a frame as not.
std::vector<AacPiece> cut_by_score(const AacFrameScores& scores,
                                   std::span<const std::uint8_t> stretch, bool trusted_start) {
  const auto length = static_cast<std::int64_t>(stretch.size());
  if (length == 0) return {};
  // Cut points: the start, every byte a frame may begin with, the end; each with
  // the score of a frame beginning there, reckoned once.
  std::vector<std::int64_t> points = {0};
  for (std::int64_t p = 1; p + 1 < length; ++p) {
    if (scores.may_start(stretch[static_cast<std::size_t>(p)])) points.push_back(p);
  }
  points.push_back(length);
  const std::size_t n = points.size();
  std::vector<double> start(n, kNever);
  for (std::size_t k = 0; k < n; ++k) {
    const auto at = static_cast<std::size_t>(points[k]);
    if (at + 1 < stretch.size()) start[k] = scores.start_score(stretch[at], stretch[at + 1]);
  }
  if (!trusted_start && !scores.may_start(stretch[0])) start[0] = kNever;
  // Two scores per point: the best cut up to it that ends with a frame, and the
  // best that ends with skipped bytes; each remembers where its last piece began.
  std::vector<double> framed(n, kNever), skipped(n, kNever);
  std::vector<std::size_t> frame_from(n, 0);
  std::vector<bool> frame_after_skip(n, false), skip_continues(n, false);
  framed[0] = 0.0;
  for (std::size_t j = 1; j < n; ++j) {
    const double bytes = static_cast<double>(points[j] - points[j - 1]);
    const double go_on = skipped[j - 1] - kSkipCostPerByte * bytes;
    const double begin = framed[j - 1] - kSkipCost - kSkipCostPerByte * bytes;
    skipped[j] = std::max(go_on, begin);
    skip_continues[j] = go_on > begin;
    for (std::size_t i = j; i-- > 0;) {
      const std::int64_t size = points[j] - points[i];
      if (size > scores.max_frame()) break;
      if (start[i] == kNever) continue;
      const double before = std::max(framed[i], skipped[i]);
      const double score = before + start[i] + scores.size_score(size) - kFramePenalty;
      if (score > framed[j]) {
        framed[j] = score;
        frame_from[j] = i;
        frame_after_skip[j] = skipped[i] > framed[i];
      }
    }
  }
  std::vector<AacPiece> pieces;
  bool in_frame = framed[n - 1] >= skipped[n - 1];
  for (std::size_t j = n - 1; j > 0;) {
    if (in_frame) {
      const std::size_t i = frame_from[j];
      pieces.push_back({points[i], points[j] - points[i], true});
      in_frame = !frame_after_skip[j];
      j = i;
    } else {
      pieces.push_back({points[j - 1], points[j] - points[j - 1], false});
      in_frame = !skip_continues[j];
      j = j - 1;
    }
  }
  std::reverse(pieces.begin(), pieces.end());
  return pieces;
}

// Appends `piece`, joining it to skipped bytes just before it.
void add_piece(std::vector<AacPiece>& pieces, const AacPiece& piece) {
  if (!piece.frame && !pieces.empty() && !pieces.back().frame &&
      pieces.back().offset + pieces.back().length == piece.offset) {
    pieces.back().length += piece.length;
    return;
  }
  pieces.push_back(piece);
}

// The end of the run of equal bytes that begins at `at`.
std::size_t run_end(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::size_t end = at + 1;
  while (end < bytes.size() && bytes[end] == bytes[at]) ++end;
  return end;
}

struct CutPiece {
  AacPiece piece;
  bool fill = false;  // a run of one byte: it ends exactly where it ends
};

// The stretch cut by score between runs of one byte longer than any frame: such
// a run lies in no frame, and cutting it would take time and give frames of nothing.
std::vector<CutPiece> cut_between_fill(const AacFrameScores& scores,
                                       std::span<const std::uint8_t> stretch) {
  const auto longest_run =
      static_cast<std::size_t>(std::max<std::int64_t>(scores.max_frame(), kMinFillRunBytes));
  std::vector<CutPiece> cut;
  std::size_t from = 0;
  for (std::size_t at = 0; at < stretch.size();) {
    const std::size_t end = run_end(stretch, at);
    const bool fill = end - at > longest_run;
    if (fill || end == stretch.size()) {
      const std::size_t frames_end = fill ? at : end;
      const std::span<const std::uint8_t> between = stretch.subspan(from, frames_end - from);
      for (AacPiece piece : cut_by_score(scores, between, from == 0)) {
        piece.offset += static_cast<std::int64_t>(from);
        cut.push_back({piece, false});
      }
      if (fill) {
        cut.push_back(
            {{static_cast<std::int64_t>(at), static_cast<std::int64_t>(end - at), false}, true});
      }
      from = end;
    }
    at = end;
  }
  return cut;
}

}  // namespace

std::vector<AacPiece> cut_aac_stretch(const AacFrameScores& scores,
                                      std::span<const std::uint8_t> stretch) {
  const std::vector<CutPiece> cut = cut_between_fill(scores, stretch);
  // A frame before skipped bytes, or after skipped bytes that are not fill, was
  // cut where damage or something else began: one of its ends is a guess, and a
  // decoder would meet a wrong frame. Random bytes give such lone frames, and
  // pairs of them. Fill ends where it ends, but may begin inside a frame.
  const auto skipped = [&](std::size_t k) { return !cut[k].piece.frame; };
  const auto guessed = [&](std::size_t k) { return skipped(k) && !cut[k].fill; };
  std::vector<AacPiece> pieces;
  for (std::size_t k = 0; k < cut.size(); ++k) {
    AacPiece piece = cut[k].piece;
    if (piece.frame && ((k > 0 && guessed(k - 1)) || (k + 1 < cut.size() && skipped(k + 1)))) {
      piece.frame = false;
    }
    add_piece(pieces, piece);
  }
  return pieces;
}

}  // namespace vidsalvage
