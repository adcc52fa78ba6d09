#include "fuzz/seeds.h"

#include <utility>

#include "fuzz/reference_recordings.h"
#include "io/input_window.h"
#include "model/model_learning.h"
#include "model/stream_model.h"
#include "mp4/box_tree.h"
#include "support/bit_writer.h"
#include "support/bytes.h"
#include "support/camera_bytes.h"
#include "support/movie_boxes.h"

namespace vidsalvage::fuzz {
namespace {

using test::append;
using test::BitWriter;
using test::Bytes;

// A 1280x720 High profile SPS with 4:2:0 chroma fields, frame cropping and a VUI
// with square pixels, 30000/1001 timing and NAL HRD parameters.
Bytes high_sps_with_hrd() {
  BitWriter w;
  w.bits(0x67, 8).bits(100, 8).bits(0, 8).bits(31, 8).ue(0);
  w.ue(1).ue(0).ue(0).bit(0).bit(0);  // chroma_format_idc 1, depths, no scaling matrix
  w.ue(0).ue(0).ue(4);                // log2_max_frame_num, poc type 0, its lsb length
  w.ue(4).bit(0).ue(79).ue(44).bit(1).bit(1);
  w.bit(1).ue(0).ue(0).ue(0).ue(0);  // cropping present, nothing cropped
  w.bit(1);                          // vui_parameters_present_flag
  w.bit(1).bits(1, 8).bit(0).bit(0).bit(0);
  w.bit(1).bits(1001, 32).bits(60000, 32).bit(1);
  w.bit(1).ue(0).bits(4, 4).bits(6, 4).ue(1000).ue(2000).bit(0);
  w.bits(23, 5).bits(23, 5).bits(23, 5).bits(24, 5);
  w.bit(0).bit(0).bit(1);  // no VCL HRD, low_delay_hrd_flag, pic_struct_present_flag
  w.bit(0);
  return w.finish();
}

// An interlaced Main profile SPS with picture order count type 1 and no VUI.
Bytes interlaced_sps() {
  BitWriter w;
  w.bits(0x67, 8).bits(77, 8).bits(0x40, 8).bits(40, 8).ue(0);
  w.ue(0).ue(1).bit(0).se(-1).se(2).ue(3).se(1).se(2).se(3);
  w.ue(4).bit(0).ue(119).ue(33).bit(0).bit(1).bit(1);
  w.bit(0).ue(0).ue(0).ue(0).ue(4);
  w.bit(0);
  return w.finish();
}

// The parameter sets of the camera's configuration record.
Bytes camera_sps() {
  const Bytes avcc = test::camera_avcc();
  return Bytes(avcc.begin() + 8, avcc.begin() + 8 + 0x19);
}

// A configuration record of these parameter sets, with 4-byte NAL lengths.
Bytes avc_config(const std::vector<Bytes>& sps, const Bytes& pps) {
  Bytes record = {0x01, 0x64, 0x00, 0x1F, 0xFF, static_cast<std::uint8_t>(0xE0 | sps.size())};
  for (const Bytes& s : sps) {
    test::append_u16(record, static_cast<std::uint16_t>(s.size()));
    append(record, s);
  }
  record.push_back(1);
  test::append_u16(record, static_cast<std::uint16_t>(pps.size()));
  append(record, pps);
  return record;
}

// The units behind 2-byte lengths, as the slice header target reads them.
Bytes short_length_units(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& unit : units) {
    test::append_u16(out, static_cast<std::uint16_t>(unit.size()));
    append(out, unit);
  }
  return out;
}

// The camera's slices without their 4-byte lengths.
Bytes unit_of(const Bytes& length_prefixed) {
  return Bytes(length_prefixed.begin() + 4, length_prefixed.end());
}

// The parameter sets libx265 (preset ultrafast) wrote for a 208x90 4:2:2 8-bit
// stream, in an hvcC record with an SEI array.
Bytes x265_hevc_config() {
  const Bytes vps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00,
                     0x9D, 0x08, 0x00, 0x00, 0x03, 0x00, 0x00, 0x1E, 0x95, 0x94, 0x09};
  const Bytes sps = {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9D, 0x08,
                     0x00, 0x00, 0x03, 0x00, 0x00, 0x1E, 0xB0, 0x1A, 0x20, 0x61, 0xF3,
                     0xE5, 0x95, 0x95, 0x29, 0x30, 0xBC, 0x05, 0xA0, 0x20, 0x00, 0x00,
                     0x03, 0x00, 0x20, 0x00, 0x00, 0x03, 0x03, 0x21};
  const Bytes pps = {0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89};
  const Bytes sei = {0x4E, 0x01, 0x05, 0x01, 0x80};
  Bytes record = {0x01, 0x04, 0x08, 0x00, 0x00, 0x00, 0x9D, 0x08, 0x00, 0x00, 0x00, 0x00,
                  0x1E, 0xF0, 0x00, 0xFC, 0xFE, 0xF8, 0xF8, 0x00, 0x00, 0x0F, 4};
  for (const auto& [type, unit] : {std::pair{32, vps}, {33, sps}, {34, pps}, {39, sei}}) {
    record.push_back(static_cast<std::uint8_t>(0x80 | type));
    test::append_u16(record, 1);
    test::append_u16(record, static_cast<std::uint16_t>(unit.size()));
    append(record, unit);
  }
  return record;
}

// An esds box's payload: what follows its version and flags.
Bytes esds_payload(const Bytes& esds_box) { return Bytes(esds_box.begin() + 12, esds_box.end()); }

// The body of an mp4a sample entry, as mp4a.hdr holds it.
Bytes mp4a_entry(std::uint16_t channels, std::uint16_t rate, const Bytes& audio_specific_config) {
  Bytes entry(6, 0);
  test::append_u16(entry, 1);
  append(entry, test::sound_entry_fields(channels, 16, rate));
  append(entry, test::aac_esds_box(audio_specific_config));
  return entry;
}

std::vector<std::uint8_t> model_text(const Bytes& reference) {
  InputWindow window;
  open_memory_input(window, reference);
  std::vector<TrackTables> tracks;
  BoxTreeError box_error;
  StreamModel model;
  LearnError learn_error;
  if (!read_movie(window, tracks, box_error) || !learn_model(window, tracks, model, learn_error)) {
    return {};
  }
  model.reference = "reference.mp4";
  model.reference_size = window.size;
  std::string text;
  ModelFault fault;
  if (!format_model(model, text, fault)) return {};
  return {text.begin(), text.end()};
}

}  // namespace

std::vector<Seed> make_seeds() {
  const Bytes pps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
  const Bytes aac = camera_reference(ReferenceAudio::Aac);
  const Bytes pcm = camera_reference(ReferenceAudio::Pcm);
  std::vector<Seed> seeds = {
      {"sps", "camera", camera_sps()},
      {"sps", "high-hrd", high_sps_with_hrd()},
      {"sps", "interlaced", interlaced_sps()},
      {"avc_config", "camera", test::camera_avcc()},
      {"avc_config", "two-sps", avc_config({high_sps_with_hrd(), interlaced_sps()}, pps)},
      {"slice_header", "camera",
       short_length_units({camera_sps(), pps, unit_of(test::idr_slice(8)),
                           unit_of(test::p_slice(8)), unit_of(test::b_slice(8))})},
      {"slice_data", "camera",
       short_length_units({camera_sps(), pps, unit_of(test::idr_slice(64)),
                           unit_of(test::p_slice(64)), unit_of(test::b_slice(64))})},
      {"slice_header", "interlaced",
       short_length_units({interlaced_sps(),
                           {0x68, 0xCE, 0x3C, 0x80},
                           unit_of(test::idr_slice(8)),
                           unit_of(test::p_slice(8))})},
      {"hevc_config", "x265", x265_hevc_config()},
      {"esds", "aac-lc", esds_payload(test::aac_esds_box({0x11, 0x90}))},
      {"esds", "he-aac", esds_payload(test::aac_esds_box({0x2B, 0x92, 0x08, 0x00}))},
      {"audio_config", "lc-stereo", mp4a_entry(2, 48000, {0x11, 0x90})},
      {"audio_config", "lc-mono", mp4a_entry(1, 44100, {0x12, 0x08})},
      {"audio_config", "he-aac", mp4a_entry(2, 24000, {0x2B, 0x92, 0x08, 0x00})},
      {"audio_config", "asc-lc", {0x11, 0x90}},
      {"audio_config", "asc-he-aac-v2", {0xEB, 0x09, 0x88, 0x00}},
  };
  for (const char* target : {"box_tree", "learning", "chunk_offsets"}) {
    seeds.push_back({target, "camera-aac", aac});
    seeds.push_back({target, "camera-pcm", pcm});
  }
  for (const char* target : {"model_file", "model_file_walk"}) {
    seeds.push_back({target, "aac", model_text(aac)});
    seeds.push_back({target, "pcm", model_text(pcm)});
  }
  for (const char* target : {"signature_walk", "model_walk", "movie_walk", "inference"}) {
    seeds.push_back({target, "damaged-aac", without_movie(aac)});
    seeds.push_back({target, "damaged-pcm", without_movie(pcm)});
  }
  return seeds;
}

}  // namespace vidsalvage::fuzz
