#include "model/model_recognition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "codec/parameter_set_writer.h"
#include "codec/sps_parser.h"
#include "recovery/model_fixture.h"
#include "recovery/walk_harness.h"
#include "support/bit_writer.h"

namespace vidsalvage {
namespace {
using test::append;
using test::Bytes;
using test::concat;
using test::OpenInput;

class Recognition : public testing::Test {
 protected:
  StreamModel model_ = test::camera_model();
  ModelIndex index_ = build_model_index(model_);
};

struct ClassCase {
  const char* name;
  Bytes bytes;
  bool found;
  std::int64_t size;
  std::int64_t announced;
};

TEST_F(Recognition, KnowsOtherTracksByTheirFirstBytes) {
  Bytes changed_trusted = test::descriptor(2, 300);
  changed_trusted[15] = 0xBC;
  Bytes changed_counter = test::descriptor(2, 300, 7);
  changed_counter[9] = 0x01;  // constant in the reference, but beside the sequence number
  Bytes chained = test::telemetry_sample(60);
  chained[0] = 'X';
  const ClassCase cases[] = {
      {"a descriptor announcing 300 bytes", test::descriptor(2, 300), true, 16, 300},
      {"a descriptor whose trusted byte changed", changed_trusted, false, 0, 0},
      {"a descriptor whose counter's high byte moved on", changed_counter, true, 16, 300},
      {"telemetry sized by its field", test::telemetry_sample(120), true, 128, -1},
      {"telemetry four times larger than any seen", test::telemetry_sample(792), true, 800, -1},
      {"telemetry larger still", test::telemetry_sample(800), false, 0, 0},
      {"another prefix", chained, false, 0, 0},
      {"three bytes", {'G', 'P', 2}, false, 0, 0},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenInput in(concat({c.bytes, Bytes(8, 0)}), false);
    ClassHit hit;
    ASSERT_EQ(class_at(in.input, index_, 0, hit), c.found);
    if (!c.found) continue;
    EXPECT_EQ(hit.size, c.size);
    EXPECT_EQ(hit.announced, c.announced);
  }
}

TEST_F(Recognition, SizesAKlvChainItemByItem) {
  model_.tracks[3].classes[0].size_rule = SizeRule::Klv;
  model_.tracks[3].classes[0].klv_items = 2;
  index_ = build_model_index(model_);
  Bytes first = test::telemetry_sample(61);
  first.resize(first.size() + 3, 0);  // the payload padded to four bytes
  const Bytes two = concat({first, test::telemetry_sample(20)});
  OpenInput in(concat({two, Bytes(8, 0)}), false);
  ClassHit hit;
  ASSERT_TRUE(class_at(in.input, index_, 0, hit));
  EXPECT_EQ(hit.size, 8 + 64 + 8 + 20);
}

struct UnitCase {
  const char* name;
  Bytes bytes;
  int previous_type;
  UnitCheck check;
};

TEST_F(Recognition, TakesOnlyUnitsOfKindsTheReferenceUsed) {
  Bytes bad_delimiter = test::delimiter();
  bad_delimiter[5] = 0x11;  // no stop bit after primary_pic_type
  Bytes forbidden = test::p_slice(20);
  forbidden[4] = static_cast<std::uint8_t>(forbidden[4] | 0x80);
  Bytes idr_p = test::idr_slice(20);
  idr_p[5] = 0x9A;  // an IDR picture of P slices
  Bytes other_pps = test::p_slice(20);
  other_pps[5] = 0x99;  // PPS id 1
  other_pps[6] = 0x00;
  Bytes beyond_picture = test::p_slice(20);
  beyond_picture[5] = 0x00;  // first_mb_in_slice 300 of a 300-macroblock picture
  beyond_picture[6] = 0x96;
  beyond_picture[7] = 0x9A;
  const UnitCase cases[] = {
      {"a delimiter", test::delimiter(), -1, UnitCheck::Video},
      {"a delimiter without its stop bit", bad_delimiter, -1, UnitCheck::NotVideo},
      {"a P slice after a delimiter", test::p_slice(20), 9, UnitCheck::Video},
      {"an IDR slice after a delimiter", test::idr_slice(20), 9, UnitCheck::Video},
      {"a B slice, though the reference had none", test::b_slice(20), 9, UnitCheck::Video},
      {"a slice after a slice: never seen", test::p_slice(20), 1, UnitCheck::NotVideo},
      {"the forbidden bit", forbidden, -1, UnitCheck::NotVideo},
      {"an SEI, which the reference never had", test::length_prefixed({0x06, 0x05, 0x10}), -1,
       UnitCheck::NotVideo},
      {"an IDR picture of P slices", idr_p, -1, UnitCheck::NotVideo},
      {"a slice of another PPS", other_pps, -1, UnitCheck::NotVideo},
      {"a slice beyond the picture", beyond_picture, -1, UnitCheck::NotVideo},
      {"length 0", {0, 0, 0, 0, 0x41, 0x9A}, -1, UnitCheck::NotVideo},
      {"four times the largest sample", concat({test::p_slice(3998)}), -1, UnitCheck::Video},
      {"one byte more", concat({test::p_slice(3999)}), -1, UnitCheck::NotVideo},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.name);
    OpenInput in(c.bytes, false);
    Unit unit;
    EXPECT_EQ(unit_at(in.input, index_, 0, c.previous_type, unit), c.check);
  }
  Bytes cut = test::p_slice(20);
  cut.pop_back();
  OpenInput in(cut, false);
  Unit unit;
  EXPECT_EQ(unit_at(in.input, index_, 0, -1, unit), UnitCheck::PastEnd);
}

TEST_F(Recognition, FollowsAChainUpToAnotherTracksSample) {
  const Bytes sample = concat({test::delimiter(), test::p_slice(30)});
  OpenInput in(concat({sample, test::descriptor(1, 40), test::delimiter(), test::p_slice(10)}),
               false);
  const Chain chain = follow_chain(in.input, index_, 0, -1);
  EXPECT_EQ(chain.units, 2);
  EXPECT_EQ(chain.end, static_cast<std::int64_t>(sample.size()));
  EXPECT_TRUE(chain.has_slice);
  EXPECT_EQ(chain.last_type, 1);
  EXPECT_EQ(chain.stop, ChainEnd::NotVideo);

  Bytes cut = concat({sample, test::delimiter(), test::p_slice(10)});
  cut.pop_back();
  OpenInput truncated(cut, false);
  const Chain to_end = follow_chain(truncated.input, index_, 0, -1);
  EXPECT_EQ(to_end.units, 3);
  EXPECT_EQ(to_end.stop, ChainEnd::PastEnd);
}

TEST_F(Recognition, FindsTheNearestSampleThatBeginsARecognisedChain) {
  const Bytes noise = test::pseudo_random_bytes(3000, 11);
  const Bytes video = concat({test::delimiter(), test::p_slice(40)});
  // A delimiter chain without a slice, one whose end is not recognisable, then the real one.
  const Bytes no_slice = concat({test::delimiter(), Bytes(20, 0xEE)});
  const Bytes unfinished = concat({test::delimiter(), test::p_slice(40), Bytes{0xEE, 0xEE}});
  const Bytes media = concat({noise, no_slice, unfinished, video, test::aac_frame(100)});
  OpenInput in(media, false);
  const Found found = find_recognised_start(in.input, index_, 0);
  EXPECT_EQ(found.kind, FoundKind::Video);
  EXPECT_EQ(found.offset,
            static_cast<std::int64_t>(noise.size() + no_slice.size() + unfinished.size()));

  OpenInput with_descriptor(concat({noise, test::descriptor(2, 100), test::aac_frame(100)}), false);
  const Found descriptor = find_recognised_start(with_descriptor.input, index_, 1);
  EXPECT_EQ(descriptor.kind, FoundKind::Class);
  EXPECT_EQ(descriptor.offset, 3000);
}

TEST_F(Recognition, SearchesNoFurtherThanItsLimit) {
  // The limit is 1 MiB here: four times the largest gap is less.
  ASSERT_EQ(index_.search_limit, 1024 * 1024);
  for (const std::int64_t at : {index_.search_limit - 1, index_.search_limit}) {
    SCOPED_TRACE(at);
    Bytes media(static_cast<std::size_t>(at), 0xEE);
    append(media, test::descriptor(2, 100));
    append(media, test::aac_frame(100));
    OpenInput in(media, false);
    const Found found = find_recognised_start(in.input, index_, 0);
    if (at < index_.search_limit) {
      EXPECT_EQ(found.kind, FoundKind::Class);
      EXPECT_EQ(found.offset, at);
    } else {
      EXPECT_EQ(found.kind, FoundKind::Nothing);
    }
  }
}

TEST_F(Recognition, FindsTheSameThroughTheWindow) {
  const Bytes media = concat({test::pseudo_random_bytes(5000, 3), test::delimiter(),
                              test::p_slice(40), test::aac_frame(100)});
  OpenInput mapped(media, false);
  OpenInput windowed(media, true);
  const Found a = find_recognised_start(mapped.input, index_, 0);
  const Found b = find_recognised_start(windowed.input, index_, 0);
  EXPECT_EQ(a.kind, FoundKind::Video);
  EXPECT_EQ(a.offset, 5000);
  EXPECT_EQ(b.kind, a.kind);
  EXPECT_EQ(b.offset, a.offset);
}

TEST_F(Recognition, ResumesAtTheNextRunOfSamplesHoweverFar) {
  // Descriptors announcing a video sample and an AAC frame, twice over.
  const Bytes sample = concat({test::delimiter(), test::p_slice(40)});
  const Bytes run = concat({test::descriptor(1, sample.size()), sample, test::descriptor(2, 100, 1),
                            test::aac_frame(100), test::descriptor(1, sample.size(), 2), sample});
  const std::int64_t far = 3 * index_.search_limit;
  struct Case {
    const char* name;
    Bytes before;
  };
  const Case cases[] = {
      {"random bytes", test::pseudo_random_bytes(static_cast<std::size_t>(far), 5)},
      {"zeros", Bytes(static_cast<std::size_t>(far), 0)},
      // Samples that pass the checks alone, each followed by what is no sample.
      {"lone slices",
       concat({test::pseudo_random_bytes(1000, 6), test::p_slice(30), Bytes(9, 0xEE),
               test::delimiter(), Bytes(9, 0xEE), test::descriptor(2, 100), Bytes(90, 0xEE)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool windowed : {false, true}) {
      OpenInput in(concat({c.before, run}), windowed);
      const Found found = find_resumption(in.input, index_, 0);
      EXPECT_EQ(found.kind, FoundKind::Class);
      EXPECT_EQ(found.offset, static_cast<std::int64_t>(c.before.size()));
    }
  }
}

TEST_F(Recognition, ResumesAtFewSamplesOnlyAtTheEnd) {
  // A descriptor is worth less than a resumption needs, but the input ends
  // behind it.
  const Bytes noise = test::pseudo_random_bytes(5000, 8);
  OpenInput at_end(concat({noise, test::descriptor(5, 128)}), false);
  EXPECT_EQ(find_resumption(at_end.input, index_, 0).offset, 5000);
  OpenInput not_at_end(concat({noise, test::descriptor(5, 128), noise}), false);
  EXPECT_EQ(find_resumption(not_at_end.input, index_, 0).kind, FoundKind::Nothing);
}

// The bits a run of samples is said to be worth bound how often random bytes
// pass its checks: at b bits, at most about 2^-b of the places in random bytes.
TEST_F(Recognition, RandomBytesRarelyPassForARunOfSamples) {
  constexpr std::size_t kBytes = 32 * 1024 * 1024;
  // A model whose units may be 4 MB long, as an intra-only camera's are: the
  // length fields of random bytes pass more often.
  model_.video.max_sample = 1024 * 1024;
  index_ = build_model_index(model_);
  OpenInput in(test::pseudo_random_bytes(kBytes, 12), false);
  for (const int bits : {12, 20, kResumeBits}) {
    SCOPED_TRACE(bits);
    std::size_t starts = 0;
    for (std::int64_t from = 0;;) {
      const Found found = find_resumption(in.input, index_, from, bits);
      if (found.kind != FoundKind::Class && found.kind != FoundKind::Video) break;
      ++starts;
      from = found.offset + 1;
    }
    const double bound = static_cast<double>(kBytes) * std::pow(2.0, -bits);
    std::printf(
        "[ figures  ] false starts in 32 MiB of random bytes at %d bits: %zu (bound %.1f)\n", bits,
        starts, bound);
    EXPECT_LE(static_cast<double>(starts), 2 * bound + 2);
  }
}

TEST_F(Recognition, TellsDamagedUnitBytesByTheirZeros) {
  struct Case {
    const char* name;
    Bytes unit;
    UnitBytes check;
  };
  const Bytes body = test::pseudo_random_bytes(3000, 4);
  Bytes clean = body;
  for (std::size_t i = 0; i + 2 < clean.size(); ++i) {
    if (clean[i] == 0 && clean[i + 1] == 0) clean[i + 1] = 1;  // no pair of zeros at all
  }
  clean.back() = 0x80;
  const auto with = [&](std::size_t at, const Bytes& bytes) {
    Bytes b = clean;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
  };
  const Case cases[] = {
      {"clean", clean, UnitBytes::Whole},
      {"an emulation prevention byte", with(100, {0, 0, 3, 1}), UnitBytes::Whole},
      {"three zeros", with(100, {0, 0, 0}), UnitBytes::Damaged},
      {"a start code", with(100, {0, 0, 1}), UnitBytes::Damaged},
      {"00 00 02", with(0, {0, 0, 2}), UnitBytes::Damaged},
      // A phone's slices end in a few zeros after the stop bit; zeros written
      // over a unit's end are more.
      {"a zero as the last byte", with(2999, {0}), UnitBytes::Whole},
      {"padding of 16 zeros", with(3000 - 16, Bytes(16, 0)), UnitBytes::Whole},
      {"17 zeros at the end", with(3000 - 17, Bytes(17, 0)), UnitBytes::Damaged},
      {"nothing but zeros", Bytes(12, 0), UnitBytes::Damaged},
      {"three zeros before the padding", with(2990, {0, 0, 0, 7, 0, 0}), UnitBytes::Damaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenInput in(concat({Bytes(7, 0), c.unit, Bytes(3, 0)}), false);
    EXPECT_EQ(check_unit_bytes(in.input, 7, static_cast<std::int64_t>(c.unit.size())), c.check);
  }
  // Three zeros across the border of the pieces the check reads, 1 MiB apart.
  Bytes large(3 * 1024 * 1024, 0x55);
  for (const std::size_t at : {std::size_t{1024 * 1024 - 2}, std::size_t{1024 * 1024 - 1}}) {
    SCOPED_TRACE(at);
    Bytes unit = large;
    std::fill(unit.begin() + static_cast<std::ptrdiff_t>(at),
              unit.begin() + static_cast<std::ptrdiff_t>(at + 3), 0);
    OpenInput in(unit, true);
    EXPECT_EQ(check_unit_bytes(in.input, 0, static_cast<std::int64_t>(unit.size())),
              UnitBytes::Damaged);
  }
}

// A picture of two I_PCM macroblocks under a Baseline SPS of 2 x 1 macroblocks:
// an IDR slice whose data ends at its stop bit.
struct PcmPicture {
  Bytes sps;
  Bytes pps;
  Bytes slice;
};

PcmPicture pcm_picture() {
  test::BitWriter sps;
  sps.bits(0x67, 8).bits(66, 8).bits(0, 8).bits(30, 8);
  sps.ue(0).ue(0).ue(2).ue(1).bit(0);           // id, log2_max_frame_num - 4, poc type, refs
  sps.ue(1).ue(0).bit(1).bit(1).bit(0).bit(0);  // 2 x 1, frames only, direct 8x8, no crop
  test::BitWriter pps;
  pps.bits(0x68, 8).ue(0).ue(0).bit(0).bit(0).ue(0).ue(0).ue(0).bit(0).bits(0, 2);
  pps.se(0).se(0).se(0).bit(0).bit(0).bit(0);
  test::BitWriter slice;
  slice.bits(0x65, 8).ue(0).ue(7).ue(0).bits(0, 4).ue(0);  // first_mb, I, pps, frame_num, idr_id
  slice.bit(0).bit(0).se(0);                               // marking, slice_qp_delta
  for (int mb = 0; mb < 2; ++mb) {
    slice.ue(25);  // I_PCM: byte-aligned samples
    while (slice.bit_count() % 8 != 0) slice.bit(0);
    for (int i = 0; i < 256 + 2 * 64; ++i) slice.bits(0x80, 8);
  }
  return {sps.finish(), pps.finish(), slice.finish()};
}

// Damage right behind a slice cannot have begun in it when its slice data ends
// exactly at its last byte: a slice cut short or run on fails that.
TEST(SliceEnds, ProvenOnlyWhereTheSliceDataEndsAtTheUnitsEnd) {
  const PcmPicture picture = pcm_picture();
  SpsInfo sps;
  NALUnit nal(picture.sps.data(), static_cast<std::uint32_t>(picture.sps.size()));
  ASSERT_TRUE(parse_sps(sps, nal));
  StreamModel model = test::camera_model();
  model.video.avcc = make_avc_config(picture.sps, picture.pps, sps, 4);
  const ModelIndex index = build_model_index(model);
  struct Case {
    const char* name;
    Bytes unit;
    SliceProof end;
  };
  Bytes cut = picture.slice;
  cut.pop_back();
  Bytes run_on = picture.slice;
  run_on.push_back(0x5A);
  Bytes other_kind = picture.slice;
  other_kind[0] = 0x06;  // an SEI unit
  const Case cases[] = {
      {"whole", picture.slice, SliceProof::Proven},
      {"one byte short", cut, SliceProof::Unproven},
      {"a byte beyond its stop bit", run_on, SliceProof::Unproven},
      {"not a slice", other_kind, SliceProof::Unproven},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenInput in(concat({Bytes(5, 1), c.unit, Bytes(3, 2)}), false);
    EXPECT_EQ(slice_ends_whole(in.input, index, 5, static_cast<std::uint32_t>(c.unit.size())),
              c.end);
  }
  // Parameter sets the record does not hold prove nothing.
  OpenInput in(concat({Bytes(5, 1), picture.slice}), false);
  const ModelIndex camera = build_model_index(test::camera_model());
  EXPECT_EQ(slice_ends_whole(in.input, camera, 5, static_cast<std::uint32_t>(picture.slice.size())),
            SliceProof::Unproven);
}

// Random and hostile bytes never crash a search or read outside the input.
TEST_F(Recognition, SurvivesAnyBytes) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    Bytes media = test::pseudo_random_bytes(4096, seed);
    // Plant pieces that pass the first checks: lengths with slice headers, prefixes.
    for (std::size_t at = 0; at + 32 < media.size(); at += 97 * seed % 400 + 50) {
      const Bytes plant =
          seed % 2 == 0 ? test::p_slice(seed * 13) : test::descriptor(5, seed * 1000);
      std::copy(plant.begin(), plant.begin() + std::min<std::size_t>(plant.size(), 24),
                media.begin() + static_cast<std::ptrdiff_t>(at));
    }
    for (std::size_t cut : {media.size(), media.size() / 2, std::size_t{7}}) {
      OpenInput in(Bytes(media.begin(), media.begin() + static_cast<std::ptrdiff_t>(cut)), false);
      (void)find_recognised_start(in.input, index_, 0);
      for (std::int64_t p = 0; p < static_cast<std::int64_t>(cut); p += 13) {
        ClassHit hit;
        (void)class_at(in.input, index_, p, hit);
        (void)follow_chain(in.input, index_, p, 9);
      }
    }
  }
}

}  // namespace
}  // namespace vidsalvage
