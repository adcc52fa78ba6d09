#pragma once
// Cutting a stretch of raw AAC frames, stored back to back without headers, at
// the places where frames most likely begin: the cut whose frame sizes and first
// bytes are most likely under what the reference recording showed.

#include <cstdint>
#include <span>
#include <vector>

#include "codec/pcm_test.h"
#include "model/stream_model.h"

namespace vidsalvage {

// Scores, in natural-log likelihood ratios against random bytes, of a frame's
// first two bytes and of its size, from the reference's counts.
class AacFrameScores {
 public:
  explicit AacFrameScores(const AudioModel& audio);

  // Whether a frame may begin with this byte: the reference had frames that did.
  bool may_start(std::uint8_t first) const { return first_counts_[first] > 0; }
  // Whether the reference had frames that began with these two bytes.
  bool seen_start(std::uint8_t first, std::uint8_t second) const {
    return start_count(first, second) > 0;
  }
  double start_score(std::uint8_t first, std::uint8_t second) const;
  // Minus infinity beyond the largest frame taken.
  double size_score(std::int64_t size) const;
  std::int64_t max_frame() const { return static_cast<std::int64_t>(size_scores_.size()) - 1; }
  // The log of how often a frame followed the one before it back to back, rather
  // than ending a chunk: what a second frame in a stretch costs.
  double back_to_back_score() const { return back_to_back_score_; }

 private:
  std::uint64_t start_count(std::uint8_t first, std::uint8_t second) const;

  std::vector<std::uint64_t> first_counts_;  // 256
  Counts<std::uint16_t> start_counts_;       // the reference's, sorted by start
  std::uint64_t frames_ = 0;
  std::vector<double> size_scores_;  // by size, 0 to max_frame
  double back_to_back_score_ = 0;
};

struct AacPiece {
  std::int64_t offset = 0;  // counted from the start of the stretch
  std::int64_t length = 0;
  bool frame = false;     // false: bytes that no likely frame covers
  std::size_t track = 0;  // a frame's track, as an index into StretchTracks::tracks
};

// The stretch cut into frames and skipped pieces, in order, covering it whole.
std::vector<AacPiece> cut_aac_stretch(const AacFrameScores& scores,
                                      std::span<const std::uint8_t> stretch);

// The audio tracks a stretch may hold when a recording has several: each one's
// pieces (AAC frames, or PCM chunks of the sizes the reference's had), and scores
// for the order in which the reference's tracks followed each other.
struct StretchTracks {
  struct Track {
    const AacFrameScores* aac = nullptr;                  // nullptr: PCM
    std::vector<std::pair<std::int64_t, double>> chunks;  // PCM: a chunk size and its score
    PcmLayout pcm;                                        // PCM: its samples
  };
  std::vector<Track> tracks;
  std::vector<std::vector<double>>
      follows;                // [before][track]: a piece of track after one of before
  std::vector<double> opens;  // [track]: a piece of track opening the stretch
};

// The tracks `audio` describes, `scores` holding each AAC track's frame scores
// (nullptr for PCM), both in the same order.
StretchTracks stretch_tracks(std::span<const AudioModel* const> audio,
                             std::span<const AacFrameScores* const> scores);

// The stretch cut into the tracks' frames and chunks and skipped pieces, in order,
// covering it whole. With `cut_end` the recording was cut where the stretch ends:
// the last piece may be a PCM chunk shorter than any the reference had, its bytes
// up to the cut (the writers take its whole frames).
std::vector<AacPiece> cut_audio_stretch(const StretchTracks& tracks,
                                        std::span<const std::uint8_t> stretch,
                                        bool cut_end = false);

}  // namespace vidsalvage
