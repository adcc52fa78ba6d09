// The unit checks of the model walk on HEVC: the two-byte header against what the
// reference used, slice segments against the hvcC's parameter sets, and the units
// of higher layers.

#include <gtest/gtest.h>

#include <algorithm>

#include "model/model_recognition.h"
#include "recovery/model_fixture.h"
#include "recovery/walk_harness.h"
#include "support/hevc_bytes.h"

namespace vidsalvage {
namespace {
using test::Bytes;
using test::concat;

using test::hevc_model;
using test::hevc_slice;
using test::kCra;
using test::kDelimiter;
using test::kIdrWRadl;
using test::kTrailN;
using test::kTrailR;
constexpr std::uint32_t kBSlice = 0, kPSlice = 1, kISlice = 2;

struct UnitCase {
  const char* name;
  Bytes unit;
  bool video;
};

TEST(HevcRecognition, ChecksUnitsByTheirHeadersAndSliceHeaders) {
  Bytes forbidden = hevc_slice(kTrailR, kPSlice);
  forbidden[0] |= 0x80;
  const UnitCase cases[] = {
      {"a trailing P slice naming the record's PPS", hevc_slice(kTrailR, kPSlice), true},
      {"a non-reference B slice, a type the reference lacked", hevc_slice(kTrailN, kBSlice), true},
      {"a CRA picture's I slice, a type the reference lacked", hevc_slice(kCra, kISlice), true},
      {"an IDR picture's I slice", hevc_slice(kIdrWRadl, kISlice), true},
      {"an IDR picture's P slice", hevc_slice(kIdrWRadl, kPSlice), false},
      {"a slice naming PPS 1, which the record lacks", hevc_slice(kTrailR, kPSlice, 1), false},
      {"slice type 3", hevc_slice(kTrailR, 3), false},
      {"a later segment at address 0", hevc_slice(kTrailR, kPSlice, 0, false), false},
      {"temporal id 1, higher than the reference used", hevc_slice(kTrailR, kPSlice, 0, true, 2),
       false},
      {"nuh_temporal_id_plus1 0", hevc_slice(kTrailR, kPSlice, 0, true, 0), false},
      {"forbidden_zero_bit set", forbidden, false},
      {"a reserved VCL type", hevc_slice(22, kISlice), false},
      {"a unit of layer 1 as the reference had", hevc_slice(kTrailR, kPSlice, 5, true, 1, 1), true},
      {"a unit of layer 2", hevc_slice(kTrailR, kPSlice, 0, true, 1, 2), false},
      {"a delimiter", {0x46, 0x01, 0x50}, true},
      {"a delimiter of pic_type 3", {0x46, 0x01, 0x70}, false},
      {"a delimiter without its stop bit", {0x46, 0x01, 0x40}, false},
      {"a delimiter of four bytes", {0x46, 0x01, 0x50, 0x80}, false},
      {"a prefix SEI", {0x4E, 0x01, 0x05, 0x01, 0x80}, true},
      {"an SPS, which the reference had only in its record", test::kHevcSps, false},
      {"a unit of one byte", {0x02}, false},
  };
  const StreamModel model = hevc_model();
  const ModelIndex index = build_model_index(model);
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::OpenInput in(concat({test::length_prefixed(c.unit), Bytes(16, 0xEE)}), false);
    Unit unit;
    EXPECT_EQ(unit_at(in.input, index, 0, -1, unit) == UnitCheck::Video, c.video);
  }
}

TEST(HevcRecognition, TakesTheSlicesOfEveryTypeAsOneInTheirPairs) {
  const StreamModel model = hevc_model();
  const ModelIndex index = build_model_index(model);
  // The reference had delimiter-IDR and delimiter-trailing pairs: a CRA picture
  // may follow a delimiter, but no SPS may.
  test::OpenInput in(concat({test::length_prefixed(hevc_slice(kCra, kISlice)),
                             test::length_prefixed(test::kHevcSps), Bytes(16, 0xEE)}),
                     false);
  Unit unit;
  EXPECT_EQ(unit_at(in.input, index, 0, kDelimiter, unit), UnitCheck::Video);
  EXPECT_EQ(unit.type, kCra);
  const Chain chain = follow_chain(in.input, index, 0, kDelimiter);
  EXPECT_EQ(chain.units, 1);
  EXPECT_TRUE(chain.has_slice);
  EXPECT_EQ(chain.stop, ChainEnd::NotVideo);
}

TEST(HevcRecognition, ChecksOnlyTheFirstFieldsWhenTheRecordHoldsNoPps) {
  StreamModel model = hevc_model();
  model.video.avcc = test::hevc_record_of(
      {test::hevc_array_of(32, {test::kHevcVps}), test::hevc_array_of(33, {test::kHevcSps})});
  const ModelIndex index = build_model_index(model);
  for (const std::uint32_t pps_id : {0u, 7u}) {
    SCOPED_TRACE(pps_id);
    test::OpenInput in(
        concat({test::length_prefixed(hevc_slice(kTrailR, kPSlice, pps_id)), Bytes(16, 0xEE)}),
        false);
    Unit unit;
    EXPECT_EQ(unit_at(in.input, index, 0, -1, unit), UnitCheck::Video);
  }
}

// Slices planted in random bytes, their headers cut anywhere, and units of every
// length: the checks read only the bytes in front of them.
TEST(HevcRecognition, SurvivesAnyBytes) {
  const StreamModel model = hevc_model();
  const ModelIndex index = build_model_index(model);
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    Bytes media = test::pseudo_random_bytes(4096, seed);
    for (std::size_t at = 0; at + 32 < media.size(); at += 89 * seed % 300 + 40) {
      const Bytes plant = test::length_prefixed(hevc_slice(seed % 2 == 0 ? kTrailR : kCra, 2));
      const std::size_t keep = std::min<std::size_t>(plant.size(), 4 + seed % 9);
      std::copy(plant.begin(), plant.begin() + static_cast<std::ptrdiff_t>(keep),
                media.begin() + static_cast<std::ptrdiff_t>(at));
    }
    for (std::size_t cut : {media.size(), media.size() / 3, std::size_t{5}}) {
      test::OpenInput in(Bytes(media.begin(), media.begin() + static_cast<std::ptrdiff_t>(cut)),
                         false);
      (void)find_recognised_start(in.input, index, 0);
      for (std::int64_t p = 0; p < static_cast<std::int64_t>(cut); p += 7) {
        Unit unit;
        (void)unit_at(in.input, index, p, kDelimiter, unit);
        (void)follow_chain(in.input, index, p, -1);
      }
    }
  }
}

}  // namespace
}  // namespace vidsalvage
