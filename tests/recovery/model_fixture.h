#pragma once
// The model of the small camera of camera_bytes.h, made in code: 16-byte
// descriptors announcing the next sample's size (track 3), KLV telemetry sized by
// a field (track 5), H.264 of 320x240 with delimiters (track 1) and AAC (track 2).

#include <cstdint>

#include "model/stream_model.h"
#include "support/bytes.h"
#include "support/camera_bytes.h"

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

}  // namespace vidsalvage::test
