#pragma once
// The parameter sets of an HEVC recording inferred from its samples alone. The
// encoder's settings text (x265 writes one) gives the picture size and the coding
// block sizes, which only a parse of the slice data could measure; the slice
// segment headers of many pictures settle the fields they show.

#include <cstdint>
#include <vector>

#include "codec/hevc_parameter_set_writer.h"
#include "model/encoder_hints.h"
#include "model/nal_chains.h"
#include "model/parameter_ranking.h"

namespace vidsalvage {

enum class HevcInferStatus {
  Ok,
  NoSettings,   // no settings text, or one whose picture or block sizes H.265 forbids
  SpsRefSets,   // the slices take their reference picture sets from the lost SPS
  Unsupported,  // other than 8- or 10-bit 4:2:0 with even sides, or interlaced
  Unread,       // no candidate sets read most slice segment headers
};

struct HevcInference {
  // The samples carry their own VPS, SPS and PPS (hev1 streams): those make the
  // hvcC, and nothing is inferred.
  bool carried = false;
  HevcEncoderHints hints;
  HevcSpsFields sps;
  HevcPpsFields pps;
  std::vector<std::uint8_t> hvcc;
  std::uint32_t width = 0;  // the visible picture
  std::uint32_t height = 0;
  bool b_slices = false;
  std::uint64_t pictures = 0;       // first slice segments of the pictures found
  std::uint64_t pictures_read = 0;  // those whose headers read under the sets chosen
  std::vector<Guess> guesses;
};

// The x265 settings of the first settings text among the chains' SEI units.
HevcEncoderHints hevc_hints_of(const ChainScan& scan);

// The sets for the HEVC chains of `scan`, their hvcC written; the frame rate for
// the level and the VUI timing when the settings name none. Sets the samples
// carry are taken as they are.
[[nodiscard]] HevcInferStatus infer_hevc_sets(const ChainScan& scan, std::uint32_t fps_numerator,
                                              std::uint32_t fps_denominator, HevcInference& out);

// H.265 Table A.8: the smallest general-tier level that holds the picture size
// and the luma sample rate.
std::uint32_t hevc_level_for(std::uint32_t width, std::uint32_t height, double fps);

}  // namespace vidsalvage
