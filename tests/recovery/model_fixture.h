#pragma once
// The model of the small camera of camera_bytes.h, made in code: 16-byte
// descriptors announcing the next sample's size (track 3), KLV telemetry sized by
// a field (track 5), H.264 of 320x240 with delimiters (track 1) and AAC (track 2);
// and an HEVC model with the slice segments its record's parameter sets describe.

#include <gtest/gtest.h>

#include <cstdint>

#include "codec/hevc_parameter_sets.h"
#include "model/stream_model.h"
#include "support/bit_writer.h"
#include "support/bytes.h"
#include "support/camera_bytes.h"
#include "support/hevc_bytes.h"

namespace vidsalvage::test {

inline PrefixClass descriptor_class(std::uint8_t next_track) {
  PrefixClass c;
  c.prefix = {'G', 'P', next_track, 0};
  c.samples = 100;
  c.min_size = 16;
  c.max_size = 16;
  c.bytes = {'G', 'P', next_track, 0, 0, 0, 0, 0, 0xAA, 0, 0, 0, 0, 0, 0, 0xBB};
  c.fixed = {1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 0, 1, 1, 1, 1};  // size and sequence vary
  c.next_track = next_track;
  return c;
}

inline StreamModel camera_model() {
  StreamModel m;
  ModelTrack video;
  video.id = 1;
  video.handler = "vide";
  video.entry_type = "avc1";
  video.role = TrackRole::Video;
  ModelTrack audio;
  audio.id = 2;
  audio.handler = "soun";
  audio.entry_type = "mp4a";
  audio.role = TrackRole::Aac;
  ModelTrack descriptors;
  descriptors.id = 3;
  descriptors.handler = "meta";
  descriptors.entry_type = "camd";
  descriptors.link = {4, 4, false, 0};
  descriptors.link_held = 200;
  descriptors.link_of = 200;
  descriptors.classes = {descriptor_class(1), descriptor_class(2), descriptor_class(5)};
  ModelTrack telemetry;
  telemetry.id = 5;
  telemetry.handler = "meta";
  telemetry.entry_type = "gpmd";
  PrefixClass devc;
  devc.prefix = {'D', 'E', 'V', 'C'};
  devc.samples = 4;
  devc.min_size = 100;
  devc.max_size = 200;
  devc.bytes = {'D', 'E', 'V', 'C', 0, 1};
  devc.fixed = {1, 1, 1, 1, 1, 1};
  devc.next_track = 3;
  devc.size_rule = SizeRule::Field;
  devc.size_field = {6, 2, false, 8};
  telemetry.classes = {devc};
  m.tracks = {video, audio, descriptors, telemetry};

  VideoModel& v = m.video;
  v.track = 1;
  v.avcc = camera_avcc();
  v.max_unit = 1000;
  v.max_sample = 1000;
  v.max_gap = 1000;
  for (std::size_t h : {0x09, 0x41, 0x65}) v.headers.set(h);
  v.heads = {0x0910, 0x419A, 0x6588};
  for (auto [a, b] : {std::pair{9, 5}, std::pair{5, 9}, std::pair{9, 1}, std::pair{1, 9}}) {
    v.bigrams.set(static_cast<std::size_t>(a) * kNalTypes + static_cast<std::size_t>(b));
  }
  v.first_units = {{0x09, 0x10, 2}};

  AudioModel& a = m.audio;
  a.track = 2;
  a.role = TrackRole::Aac;
  a.config = {0x11, 0x90};
  a.samples = 100;
  a.announced = 100;
  a.sizes = {{100, 40}, {110, 30}, {120, 30}};
  a.starts2 = {{0x2110, 100}};
  a.starts3 = {{0x211000, 100}};
  return m;
}

// ---- HEVC

inline constexpr int kTrailR = 1;
inline constexpr int kTrailN = 0;
inline constexpr int kIdrWRadl = 19;
inline constexpr int kIdrNLp = 20;
inline constexpr int kCra = 21;
inline constexpr int kDelimiter = 35;
inline constexpr int kPrefixSei = 39;

// A reference of delimiters, IDR and trailing pictures, a prefix SEI, all of the
// base layer and temporal id 0, but one layer-1 unit.
inline StreamModel hevc_model() {
  StreamModel m;
  ModelTrack video;
  video.id = 1;
  video.handler = "vide";
  video.entry_type = "hvc1";
  video.role = TrackRole::Video;
  m.tracks = {video};
  VideoModel& v = m.video;
  v.track = 1;
  v.codec = VideoCodec::Hevc;
  v.avcc = kHevcRecord;
  v.max_unit = 4000;
  v.max_sample = 4000;
  v.heads = {0x0201, 0x0209, 0x2601, 0x4601, 0x4E01};  // 0x0209: TRAIL_R of layer 1
  for (const std::uint16_t head : v.heads) v.headers.set(head >> 8);
  for (int a : {kDelimiter, kIdrWRadl, kTrailR, kPrefixSei}) {
    for (int b : {kDelimiter, kIdrWRadl, kTrailR, kPrefixSei}) {
      v.bigrams.set(static_cast<std::size_t>(a) * kNalTypes + static_cast<std::size_t>(b));
    }
  }
  v.first_units = {{0x46, 0x01, 3}};
  return m;
}

// A slice segment as the record's PPS and SPS lay its header out, then a payload.
inline Bytes hevc_slice(int type, std::uint32_t slice_type, std::uint32_t pps_id = 0,
                        bool first = true, std::uint8_t tid_plus1 = 1, std::uint8_t layer = 0,
                        std::uint32_t poc_lsb = 5) {
  HevcParameterSets sets;
  EXPECT_TRUE(add_hevc_parameter_set(sets, kHevcSps));
  EXPECT_TRUE(add_hevc_parameter_set(sets, kHevcPps));
  const HevcSps& sps = *sets.sps[0];
  const HevcPps& pps = *sets.pps[0];
  BitWriter w;
  w.bit(first ? 1 : 0);
  if (type >= 16 && type <= 23) w.bit(0);  // no_output_of_prior_pics_flag
  w.ue(pps_id);
  if (first) {
    w.bits(0, static_cast<int>(pps.num_extra_slice_header_bits)).ue(slice_type);
    if (pps.output_flag_present_flag) w.bit(1);
    if (type != kIdrWRadl && type != kIdrNLp)
      w.bits(poc_lsb, static_cast<int>(sps.log2_max_pic_order_cnt_lsb));
  } else {
    if (pps.dependent_slice_segments_enabled_flag) w.bit(0);
    w.bits(0, 8);  // slice_segment_address 0, which only a first segment may have
  }
  Bytes unit = {static_cast<std::uint8_t>(type << 1 | layer >> 5),
                static_cast<std::uint8_t>((layer & 0x1F) << 3 | tid_plus1)};
  append(unit, w.finish());
  append(unit, Bytes(40, 0x5A));
  return unit;
}

}  // namespace vidsalvage::test
