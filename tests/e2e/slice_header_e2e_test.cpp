// The whole H.264 slice header, read on streams libx264 made with the settings
// that change its syntax: the entropy coder, B-frames and weighted prediction,
// several slices, the 8x8 transform, interlacing. With CABAC the header must end
// where the cabac_alignment_one_bits begin: every bit up to the byte boundary is
// a one. A header read one field short or long almost never lands there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/bit_reader.h"
#include "codec/slice_header.h"
#include "support/media.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

struct Encode {
  const char* name;
  const char* x264_params;
  bool cabac;
  bool transform_8x8;
};

const Encode kEncodes[] = {
    {"cabac_b_frames_weighted", "bframes=3:weightp=2:weightb=1:8x8dct=1:ref=3", true, true},
    {"cavlc_baseline", "cabac=0:bframes=0:8x8dct=0:ref=2", false, false},
    {"cabac_four_slices", "slices=4:bframes=2:8x8dct=0", true, false},
    {"cavlc_b_frames_no_deblock", "cabac=0:bframes=2:no-deblock=1:8x8dct=1", false, true},
    {"cabac_interlaced", "interlaced=1:bframes=2", true, true},
};

TEST(SliceHeaderOnRealStreams, EveryHeaderEndsWhereTheSliceDataBegins) {
  VIDSALVAGE_REQUIRE_FFMPEG();
  TempDir dir;
  for (const Encode& encode : kEncodes) {
    SCOPED_TRACE(encode.name);
    const std::string file = std::string(encode.name) + ".h264";
    ASSERT_TRUE(run_ffmpeg(dir,
                           "-f lavfi -i testsrc2=size=352x288:rate=25 -t 1 -c:v libx264 "
                           "-preset veryfast -x264-params \"" +
                               std::string(encode.x264_params) + ":keyint=10\" " + file));
    AvcParameterSets sets;
    int slices = 0;
    for (const Bytes& unit : annexb_units(dir.read(file))) {
      ASSERT_FALSE(unit.empty());
      const std::uint32_t type = unit[0] & 0x1Fu;
      if (type == 7 || type == 8) {
        ASSERT_TRUE(add_parameter_set(sets, unit));
        continue;
      }
      if (type != 1 && type != 5) continue;
      SliceHeader header;
      NALUnit reader(unit.data() + 1, static_cast<std::uint32_t>(unit.size() - 1));
      ASSERT_EQ(read_slice_header_to_data(unit, sets, header, reader), SliceRead::Read) << slices;
      const PpsInfo& pps = *sets.pps[header.pic_parameter_set_id];
      EXPECT_EQ(pps.entropy_coding_mode_flag, encode.cabac);
      EXPECT_EQ(pps.transform_8x8_mode_flag, encode.transform_8x8);
      if (encode.cabac) {
        while (reader.bits_left() != 0) ASSERT_EQ(reader.read_bit(), 1u) << "slice " << slices;
      }
      EXPECT_TRUE(reader.more_rbsp_data());
      ++slices;
    }
    EXPECT_GE(slices, 25);
  }
}

}  // namespace
}  // namespace vidsalvage::test
