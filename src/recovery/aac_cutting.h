#pragma once
// Cutting a stretch of raw AAC frames, stored back to back without headers, at
// the places where frames most likely begin: the cut whose frame sizes and first
// bytes are most likely under what the reference recording showed.

#include <cstdint>
#include <span>
#include <vector>

#include "model/stream_model.h"

namespace vidsalvage {

// Scores, in natural-log likelihood ratios against random bytes, of a frame's
// first two bytes and of its size, from the reference's counts.
class AacFrameScores {
 public:
  explicit AacFrameScores(const AudioModel& audio);

  // Whether a frame may begin with this byte: the reference had frames that did.
  bool may_start(std::uint8_t first) const { return first_counts_[first] > 0; }
  double start_score(std::uint8_t first, std::uint8_t second) const;
  // Minus infinity beyond the largest frame taken.
  double size_score(std::int64_t size) const;
  std::int64_t max_frame() const { return static_cast<std::int64_t>(size_scores_.size()) - 1; }

 private:
  std::vector<std::uint64_t> first_counts_;  // 256
  Counts<std::uint16_t> start_counts_;       // the reference's, sorted by start
  std::uint64_t frames_ = 0;
  std::vector<double> size_scores_;  // by size, 0 to max_frame
};

struct AacPiece {
  std::int64_t offset = 0;  // counted from the start of the stretch
  std::int64_t length = 0;
  bool frame = false;  // false: bytes that no likely frame covers
};

// The stretch cut into frames and skipped pieces, in order, covering it whole.
std::vector<AacPiece> cut_aac_stretch(const AacFrameScores& scores,
                                      std::span<const std::uint8_t> stretch);

}  // namespace vidsalvage
