#include "recovery/aac_cutting.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "codec/aac_frame.h"
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
constexpr std::int64_t kSizeSpread = 8;   // frame sizes are taken to vary by this much
constexpr std::int64_t kSpreadShare = 8;  // and by no more than this share of the size
constexpr double kSizeFloor = 1e-6;
// For frames back to back: a reference that never showed them does not rule them out.
constexpr double kBackToBackPseudoCount = 0.5;

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
  // A triangular kernel spreads each size seen over its neighbours, by no more
  // than an eighth of the size: the frames of silence keep one tiny size, and
  // spread wide they would give any frame a cut into tiny pieces.
  std::vector<double> density(static_cast<std::size_t>(max_frame) + 1, 0.0);
  for (const auto& [size, count] : audio.sizes) {
    const std::int64_t spread = std::min<std::int64_t>(kSizeSpread, size / kSpreadShare);
    const double norm = static_cast<double>((spread + 1) * (spread + 1));
    for (std::int64_t d = -spread; d <= spread; ++d) {
      const std::int64_t s = static_cast<std::int64_t>(size) + d;
      if (s < 1 || s > max_frame) continue;
      density[static_cast<std::size_t>(s)] +=
          static_cast<double>(count) * static_cast<double>(spread + 1 - std::abs(d)) / norm;
    }
  }
  // A recorder that writes one frame between two video samples, as at rates where
  // a frame lasts longer than a picture, rarely writes two: a frame cut in two
  // there must show much more than one that stays whole.
  back_to_back_score_ =
      std::log((static_cast<double>(audio.back_to_back) + kBackToBackPseudoCount) /
               (static_cast<double>(audio.samples) + 2 * kBackToBackPseudoCount));
  size_scores_.assign(density.size(), kNever);
  for (std::size_t s = 1; s < density.size(); ++s) {
    const double p = sized == 0 ? 0.0 : density[s] / static_cast<double>(sized);
    // Against sizes spread evenly over 1 to max_frame.
    size_scores_[s] = std::log((p + kSizeFloor) * static_cast<double>(max_frame));
  }
}

std::uint64_t AacFrameScores::start_count(std::uint8_t first, std::uint8_t second) const {
  const auto start = static_cast<std::uint16_t>(first << 8 | second);
  const auto found = std::lower_bound(start_counts_.begin(), start_counts_.end(), start,
                                      [](const std::pair<std::uint16_t, std::uint64_t>& entry,
                                         std::uint16_t key) { return entry.first < key; });
  return found != start_counts_.end() && found->first == start ? found->second : 0;
}

double AacFrameScores::start_score(std::uint8_t first, std::uint8_t second) const {
  const double frames = static_cast<double>(frames_);
  const double firsts = static_cast<double>(first_counts_[first]);
  const double p_first = (firsts + kPseudoCount) / (frames + 256 * kPseudoCount);
  const std::uint64_t seen = start_count(first, second);
  const double p_second =
      (static_cast<double>(seen) + kPseudoCount) / (firsts + 256 * kPseudoCount);
  return std::log(p_first * p_second * 65536.0);
}

double AacFrameScores::size_score(std::int64_t size) const {
  if (size < 1 || size > max_frame()) return kNever;
  return size_scores_[static_cast<std::size_t>(size)];
}

namespace {

// For the order of tracks: a pair the reference never showed is unlikely, not impossible.
constexpr double kOrderPseudoCount = 0.5;
// The PCM chunk sizes a cut tries, the reference's commonest.
constexpr std::size_t kMaxChunkSizes = 16;

// The tail of a frame often reads like the start of a tiny one (the zeros that
// end many frames begin frames of a mono track), and with several tracks frames
// may begin at the first bytes of any of them: a frame that begins with two bytes
// its track's frames never began with must show more.
constexpr double kUnseenStartCost = 8.0;

// Every frame ends with ID_END and zero bits to the byte, as every frame of the
// real recordings we have seen does; bytes at random end so one time in four. A
// frame that ends otherwise is allowed, at this price against random bytes, for
// an encoder that aligns with ones: cut there, a frame is more often wrong.
constexpr double kEndFitScore = 1.386;  // ln 4
constexpr double kEndMisfitScore = -4.0;

// A chunk is tested for its track's PCM at every pair of frames: laid at the
// wrong place, it holds another track's bytes, and where they meet its own the
// samples jump. A pair is rough when its step is no smooth audio, or when it
// steps kJumpRatio times as far as the pairs either side of it, and further than
// kJumpFloor: two quiet sounds of two tracks lie further apart than one steps.
// Each rough pair costs kRoughPairCost, up to kMaxRoughPairs in a chunk, so that
// loud noise does not turn whole chunks into skipped bytes; smooth pairs earn
// nothing, so that more, smaller chunks gain nothing by them.
constexpr double kRoughPairCost = 1.0;
constexpr std::uint32_t kMaxRoughPairs = 16;
constexpr double kJumpRatio = 4.0;
constexpr double kJumpFloor = 0.01;  // of full scale

// Per byte of a stretch, for one PCM layout: how many rough pairs of frames begin
// there or a whole number of frames before, so that a chunk's rough pairs are
// one difference, however long it is.
std::vector<std::uint32_t> rough_pairs(const PcmLayout& layout,
                                       std::span<const std::uint8_t> stretch) {
  const std::size_t frame = layout.frame_bytes();
  std::vector<std::uint32_t> rough(stretch.size(), 0);
  if (frame == 0 || stretch.size() < 2 * frame) return rough;
  const std::size_t pairs = stretch.size() - 2 * frame + 1;
  std::vector<double> step(pairs);
  for (std::size_t at = 0; at < pairs; ++at) step[at] = pcm_step(stretch.subspan(at), layout);
  for (std::size_t at = 0; at < pairs; ++at) {
    const double before = at >= frame ? step[at - frame] : 0.0;
    const double after = at + frame < pairs ? step[at + frame] : 0.0;
    const bool jump = step[at] > kJumpFloor && step[at] > kJumpRatio * std::max(before, after);
    const bool is_rough = !(step[at] < kSmoothShare) || jump;
    rough[at] = (is_rough ? 1 : 0) + (at >= frame ? rough[at - frame] : 0);
  }
  return rough;
}

// Where a piece's path begins: the start of the stretch, skipped bytes, or a
// piece of a track (its index).
constexpr int kAtStart = -2;
constexpr int kAfterSkip = -1;

struct Arrival {
  double score = kNever;
  int from = kAtStart;
};

// The best cut of `stretch` by the scores, in pieces counted from its start.
// Without `trusted_start` a frame begins at the start only with a byte frames
// began with: the start is where damage ended, as likely inside a frame as not.
// With `cut_end` the recording was cut where the stretch ends: its last piece may
// be the start of a PCM chunk.
class ScoredCut {
 public:
  ScoredCut(const StretchTracks& tracks, std::span<const std::uint8_t> stretch, bool trusted_start,
            bool cut_end)
      : tracks_(tracks), stretch_(stretch), k_(tracks.tracks.size()), cut_end_(cut_end) {
    find_points();
    score_starts(trusted_start);
    score_ends();
    for (const StretchTracks::Track& t : tracks_.tracks) {
      rough_.push_back(t.aac == nullptr ? rough_pairs(t.pcm, stretch_)
                                        : std::vector<std::uint32_t>{});
    }
  }

  std::vector<AacPiece> run() {
    const std::size_t n = points_.size();
    framed_.assign(n * k_, {});
    frame_from_.assign(n * k_, 0);
    skipped_.assign(n, {});
    skip_continues_.assign(n, false);
    for (std::size_t j = 1; j < n; ++j) {
      score_skip(j);
      score_frames(j);
      score_chunks(j);
    }
    if (cut_end_ && n > 1) score_cut_chunks(n - 1);
    return trace_back();
  }

 private:
  // Cut points: the start, every byte a frame may begin with, the end; and the
  // places PCM chunks of the sizes the reference had put a boundary: chunk after
  // chunk from the start and back from the end, and one chunk either side of a
  // frame's start.
  void find_points() {
    const auto length = static_cast<std::int64_t>(stretch_.size());
    const auto n = static_cast<std::size_t>(length) + 1;
    std::vector<bool> frame_start(n, false);
    for (std::int64_t p = 1; p + 1 < length; ++p) {
      const std::uint8_t b = stretch_[static_cast<std::size_t>(p)];
      for (const StretchTracks::Track& t : tracks_.tracks) {
        if (t.aac != nullptr && t.aac->may_start(b))
          frame_start[static_cast<std::size_t>(p)] = true;
      }
    }
    std::vector<std::int64_t> sizes;
    for (const StretchTracks::Track& t : tracks_.tracks) {
      for (const auto& [size, score] : t.chunks) sizes.push_back(size);
    }
    std::vector<bool> ahead(n, false), back(n, false), point = frame_start;
    ahead[0] = true;
    back[n - 1] = true;
    for (std::int64_t p = 0; p <= length; ++p) {
      const auto at = static_cast<std::size_t>(p);
      if (!ahead[at] && !frame_start[at]) continue;
      for (const std::int64_t size : sizes) {
        if (size <= length - p)
          (ahead[at] ? ahead : point)[at + static_cast<std::size_t>(size)] = true;
      }
    }
    for (std::int64_t p = length; p >= 0; --p) {
      const auto at = static_cast<std::size_t>(p);
      if (!back[at] && !frame_start[at]) continue;
      for (const std::int64_t size : sizes) {
        if (size <= p) (back[at] ? back : point)[at - static_cast<std::size_t>(size)] = true;
      }
    }
    if (cut_end_) mark_cut_chunk_starts(point);
    for (std::size_t at = 0; at < n; ++at) {
      if (point[at] || ahead[at] || back[at]) points_.push_back(static_cast<std::int64_t>(at));
    }
    for (const StretchTracks::Track& t : tracks_.tracks) {
      if (t.aac != nullptr) max_frame_ = std::max(max_frame_, t.aac->max_frame());
    }
  }

  // Where the recording was cut, no chunk size leads back from the end to where
  // the last chunk began: its samples do. For each PCM track, the place where the
  // longest run of smooth pairs of frames that reaches the cut begins is a point,
  // and so are the next few frames, as bytes before a chunk may step smoothly by
  // chance.
  void mark_cut_chunk_starts(std::vector<bool>& point) const {
    constexpr std::size_t kStartsTried = 4;
    for (const StretchTracks::Track& t : tracks_.tracks) {
      const std::size_t frame = t.pcm.frame_bytes();
      if (t.aac != nullptr || frame == 0 || stretch_.size() < 2 * frame) continue;
      std::int64_t longest = 0;
      for (const auto& [size, score] : t.chunks) longest = std::max(longest, size);
      const std::size_t last_pair = stretch_.size() - 2 * frame;
      std::size_t best_start = stretch_.size();
      for (std::size_t r = 0; r < frame && r <= last_pair; ++r) {
        std::size_t start = last_pair - r + frame;  // the first frame of the smooth run
        while (start >= frame &&
               stretch_.size() - (start - frame) <= static_cast<std::size_t>(longest) &&
               pcm_step(stretch_.subspan(start - frame), t.pcm) < kSmoothShare) {
          start -= frame;
        }
        best_start = std::min(best_start, start);
      }
      for (std::size_t k = 0; k < kStartsTried && best_start + k * frame < stretch_.size(); ++k) {
        point[best_start + k * frame] = true;
      }
    }
  }

  // The score of a frame of each AAC track beginning at each point, reckoned once.
  void score_starts(bool trusted_start) {
    start_.assign(points_.size() * k_, kNever);
    for (std::size_t i = 0; i < points_.size(); ++i) {
      const auto at = static_cast<std::size_t>(points_[i]);
      if (at + 1 >= stretch_.size()) continue;
      for (std::size_t k = 0; k < k_; ++k) {
        const AacFrameScores* aac = tracks_.tracks[k].aac;
        if (aac == nullptr) continue;
        // Where a trusted stretch begins a frame begins, whatever its bytes: the
        // encoder's first frame often starts as no other does.
        const bool trusted = i == 0 && trusted_start;
        if (!aac->may_start(stretch_[at]) && !trusted) continue;
        start_[i * k_ + k] = aac->start_score(stretch_[at], stretch_[at + 1]);
        if (!aac->seen_start(stretch_[at], stretch_[at + 1]) && !trusted) {
          start_[i * k_ + k] -= kUnseenStartCost;
        }
      }
    }
  }

  // The score of an AAC frame ending at each point, the same for every track.
  void score_ends() {
    end_.assign(points_.size(), kEndMisfitScore);
    for (std::size_t j = 0; j < points_.size(); ++j) {
      const auto at = static_cast<std::size_t>(points_[j]);
      const std::span<const std::uint8_t> tail =
          stretch_.first(at).last(std::min<std::size_t>(at, 2));
      if (ends_like_aac_frame(tail)) end_[j] = kEndFitScore;
    }
  }

  // The best way to arrive at point i before a piece of track k: from the start,
  // from skipped bytes, or from a piece of any track. Ties go to the pieces.
  Arrival before(std::size_t i, std::size_t k) const {
    Arrival best;
    if (i == 0) best = {tracks_.opens[k], kAtStart};
    for (std::size_t b = 0; b < k_; ++b) {
      const double score = framed_[i * k_ + b].score + tracks_.follows[b][k];
      if (score > best.score) best = {score, static_cast<int>(b)};
    }
    if (skipped_[i].score > best.score) best = {skipped_[i].score, kAfterSkip};
    return best;
  }

  // The best path that ends with a piece at point i, the start counting as one.
  Arrival last_piece(std::size_t i) const {
    Arrival best;
    if (i == 0) best = {0.0, kAtStart};
    for (std::size_t b = 0; b < k_; ++b) {
      if (framed_[i * k_ + b].score > best.score) {
        best = {framed_[i * k_ + b].score, static_cast<int>(b)};
      }
    }
    return best;
  }

  void score_skip(std::size_t j) {
    const double bytes = static_cast<double>(points_[j] - points_[j - 1]);
    const double go_on = skipped_[j - 1].score - kSkipCostPerByte * bytes;
    const Arrival piece = last_piece(j - 1);
    const double begin = piece.score - kSkipCost - kSkipCostPerByte * bytes;
    skip_continues_[j] = go_on > begin;
    skipped_[j] = {std::max(go_on, begin), piece.from};
  }

  void offer(std::size_t j, std::size_t k, std::size_t i, double piece_score) {
    const Arrival arrival = before(i, k);
    const double score = arrival.score + piece_score - kFramePenalty;
    if (score > framed_[j * k_ + k].score) {
      framed_[j * k_ + k] = {score, arrival.from};
      frame_from_[j * k_ + k] = i;
    }
  }

  void score_frames(std::size_t j) {
    for (std::size_t i = j; i-- > 0;) {
      const std::int64_t size = points_[j] - points_[i];
      if (size > max_frame_) break;
      for (std::size_t k = 0; k < k_; ++k) {
        const AacFrameScores* aac = tracks_.tracks[k].aac;
        const double start = start_[i * k_ + k];
        if (aac == nullptr || start == kNever) continue;
        const double size_score = aac->size_score(size);
        if (size_score != kNever) offer(j, k, i, start + size_score + end_[j]);
      }
    }
  }

  void score_chunks(std::size_t j) {
    for (std::size_t k = 0; k < k_; ++k) {
      for (const auto& [size, score] : tracks_.tracks[k].chunks) {
        const std::int64_t from = points_[j] - size;
        if (from < 0) continue;
        const auto it = std::lower_bound(points_.begin(), points_.end(), from);
        if (it == points_.end() || *it != from) continue;
        offer(j, k, static_cast<std::size_t>(it - points_.begin()),
              score + pcm_fit(k, static_cast<std::size_t>(from), static_cast<std::size_t>(size)));
      }
    }
  }

  // The start of a PCM chunk that the end of the recording cut, ending at point j:
  // scored as the likeliest chunk of the track at least as long would be with
  // only these bytes, and by its pairs of frames. Which track it is the order of
  // the pieces before it tells, and its samples.
  void score_cut_chunks(std::size_t j) {
    for (std::size_t k = 0; k < k_; ++k) {
      const StretchTracks::Track& t = tracks_.tracks[k];
      const std::int64_t frame = t.pcm.frame_bytes();
      if (t.aac != nullptr || frame == 0) continue;
      for (std::size_t i = j; i-- > 0;) {
        const std::int64_t length = points_[j] - points_[i];
        double best = kNever;
        for (const auto& [size, score] : t.chunks) {
          if (size > length)
            best = std::max(best, score - kSkipCostPerByte * static_cast<double>(size - length));
        }
        if (best == kNever) break;  // no chunk was this long: neither is one further back
        if (length < frame) continue;
        offer(j, k, i,
              best + pcm_fit(k, static_cast<std::size_t>(points_[i]),
                             static_cast<std::size_t>(length)));
      }
    }
  }

  // What the rough pairs of frames in a chunk of track k cost.
  double pcm_fit(std::size_t k, std::size_t from, std::size_t size) const {
    const std::size_t frame = tracks_.tracks[k].pcm.frame_bytes();
    if (frame == 0 || size < 2 * frame) return 0;
    const std::vector<std::uint32_t>& rough = rough_[k];
    const std::size_t last_pair = from + (size / frame - 2) * frame;
    const std::uint32_t pairs = rough[last_pair] - (from >= frame ? rough[from - frame] : 0);
    return -kRoughPairCost * static_cast<double>(std::min(pairs, kMaxRoughPairs));
  }

  std::vector<AacPiece> trace_back() const {
    std::vector<AacPiece> pieces;
    std::size_t j = points_.size() - 1;
    const Arrival last = last_piece(j);
    int state = skipped_[j].score > last.score ? kAfterSkip : last.from;
    while (j > 0 && state != kAtStart) {
      if (state == kAfterSkip) {
        pieces.push_back({points_[j - 1], points_[j] - points_[j - 1], false, 0});
        state = skip_continues_[j] ? kAfterSkip : skipped_[j].from;
        --j;
        continue;
      }
      const auto k = static_cast<std::size_t>(state);
      const std::size_t i = frame_from_[j * k_ + k];
      pieces.push_back({points_[i], points_[j] - points_[i], true, k});
      state = framed_[j * k_ + k].from;
      j = i;
    }
    std::reverse(pieces.begin(), pieces.end());
    return pieces;
  }

  const StretchTracks& tracks_;
  std::span<const std::uint8_t> stretch_;
  std::size_t k_ = 0;  // tracks
  bool cut_end_ = false;
  std::vector<std::int64_t> points_;
  std::int64_t max_frame_ = 0;
  std::vector<double> start_;                      // [point * k_ + track]
  std::vector<double> end_;                        // [point]
  std::vector<std::vector<std::uint32_t>> rough_;  // [track]: PCM's, by rough_pairs
  // Per point: the best path ending with a piece of each track, and the best
  // ending with skipped bytes; each remembers what came before its last piece.
  std::vector<Arrival> framed_;
  std::vector<std::size_t> frame_from_;
  std::vector<Arrival> skipped_;
  std::vector<bool> skip_continues_;
};

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

// The longest run of one byte a piece may hold: a frame's size, or any run where
// a track is PCM, whose silence is such a run.
std::size_t longest_piece_run(const StretchTracks& tracks) {
  std::int64_t longest = kMinFillRunBytes;
  for (const StretchTracks::Track& t : tracks.tracks) {
    if (t.aac == nullptr) return SIZE_MAX;
    longest = std::max(longest, t.aac->max_frame());
  }
  return static_cast<std::size_t>(longest);
}

// The stretch cut by score between runs of one byte longer than any piece: such
// a run lies in no piece, and cutting it would take time and give frames of nothing.
std::vector<CutPiece> cut_between_fill(const StretchTracks& tracks,
                                       std::span<const std::uint8_t> stretch, bool cut_end) {
  const std::size_t longest_run = longest_piece_run(tracks);
  std::vector<CutPiece> cut;
  std::size_t from = 0;
  for (std::size_t at = 0; at < stretch.size();) {
    const std::size_t end = run_end(stretch, at);
    const bool fill = end - at > longest_run;
    if (fill || end == stretch.size()) {
      const std::size_t frames_end = fill ? at : end;
      const std::span<const std::uint8_t> between = stretch.subspan(from, frames_end - from);
      if (!between.empty()) {
        const bool at_cut = cut_end && frames_end == stretch.size();
        for (AacPiece piece : ScoredCut(tracks, between, from == 0, at_cut).run()) {
          piece.offset += static_cast<std::int64_t>(from);
          cut.push_back({piece, false});
        }
      }
      if (fill) {
        cut.push_back(
            {{static_cast<std::int64_t>(at), static_cast<std::int64_t>(end - at), false, 0}, true});
      }
      from = end;
    }
    at = end;
  }
  return cut;
}

// The log of a probability against `n` choices alike, from counts.
double against_alike(double count, double total, std::size_t n) {
  const auto choices = static_cast<double>(n);
  return std::log((count + kOrderPseudoCount) / (total + choices * kOrderPseudoCount) * choices);
}

double count_of(const Counts<std::uint32_t>& counts, std::uint32_t key) {
  const auto it = std::lower_bound(counts.begin(), counts.end(), key,
                                   [](const auto& c, std::uint32_t k) { return c.first < k; });
  return it != counts.end() && it->first == key ? static_cast<double>(it->second) : 0.0;
}

// A PCM track's commonest chunk sizes, each scored by its share, and by its bytes
// as leaving them out would cost them, so that a chunk of a size the reference
// had is taken before its bytes are left out, and a cut into chunks of the
// commonest sizes wins.
std::vector<std::pair<std::int64_t, double>> chunk_scores(const AudioModel& a) {
  Counts<std::uint32_t> common = a.chunks;
  std::stable_sort(common.begin(), common.end(),
                   [](const auto& x, const auto& y) { return x.second > y.second; });
  if (common.size() > kMaxChunkSizes) common.resize(kMaxChunkSizes);
  double total = 0;
  for (const auto& [size, count] : common) total += static_cast<double>(count);
  std::vector<std::pair<std::int64_t, double>> out;
  for (const auto& [size, count] : common) {
    if (size == 0 || a.bytes_per_frame == 0 || size % a.bytes_per_frame != 0) continue;
    const double bytes = static_cast<double>(size);
    out.emplace_back(size, std::log(static_cast<double>(count) / total) + kSkipCostPerByte * bytes +
                               kFramePenalty);
  }
  return out;
}

}  // namespace

std::vector<AacPiece> cut_aac_stretch(const AacFrameScores& scores,
                                      std::span<const std::uint8_t> stretch) {
  StretchTracks one;
  one.tracks = {{&scores, {}, {}}};
  one.follows = {{scores.back_to_back_score()}};
  one.opens = {0.0};
  return cut_audio_stretch(one, stretch);
}

StretchTracks stretch_tracks(std::span<const AudioModel* const> audio,
                             std::span<const AacFrameScores* const> scores) {
  StretchTracks out;
  const std::size_t n = audio.size();
  out.follows.assign(n, std::vector<double>(n, 0.0));
  out.opens.assign(n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    StretchTracks::Track t;
    t.aac = audio[k]->role == TrackRole::Aac ? scores[k] : nullptr;
    if (audio[k]->role == TrackRole::Pcm) {
      const AudioModel& a = *audio[k];
      t.chunks = chunk_scores(a);
      t.pcm = {a.bits, a.channels, a.little_endian, a.float_samples, a.signed_samples};
    }
    out.tracks.push_back(std::move(t));
  }
  // Pieces of one PCM track never follow each other: they would be one chunk.
  const auto count = [&](std::size_t k, std::size_t before) {
    if (before == k && audio[k]->role == TrackRole::Pcm) return 0.0;
    return count_of(audio[k]->after, audio[before]->track);
  };
  double opened = 0;
  for (std::size_t k = 0; k < n; ++k) opened += count_of(audio[k]->after, 0);
  for (std::size_t k = 0; k < n; ++k) {
    out.opens[k] = against_alike(count_of(audio[k]->after, 0), opened, n);
  }
  for (std::size_t b = 0; b < n; ++b) {
    double total = 0;
    for (std::size_t k = 0; k < n; ++k) total += count(k, b);
    for (std::size_t k = 0; k < n; ++k) out.follows[b][k] = against_alike(count(k, b), total, n);
  }
  return out;
}

std::vector<AacPiece> cut_audio_stretch(const StretchTracks& tracks,
                                        std::span<const std::uint8_t> stretch, bool cut_end) {
  const std::vector<CutPiece> cut = cut_between_fill(tracks, stretch, cut_end);
  // A frame before skipped bytes, or after skipped bytes that are not fill, was
  // cut where damage or something else began: one of its ends is a guess, and a
  // decoder would meet a wrong frame. Random bytes give such lone frames, and
  // pairs of them. Fill ends where it ends, but may begin inside a frame. A PCM
  // chunk has sizes of its own: neither end is a guess.
  const auto skipped = [&](std::size_t k) { return !cut[k].piece.frame; };
  const auto guessed = [&](std::size_t k) { return skipped(k) && !cut[k].fill; };
  std::vector<AacPiece> pieces;
  for (std::size_t k = 0; k < cut.size(); ++k) {
    AacPiece piece = cut[k].piece;
    const bool aac = piece.frame && tracks.tracks[piece.track].aac != nullptr;
    if (aac && ((k > 0 && guessed(k - 1)) || (k + 1 < cut.size() && skipped(k + 1)))) {
      piece.frame = false;
      piece.track = 0;
    }
    add_piece(pieces, piece);
  }
  return pieces;
}

}  // namespace vidsalvage
