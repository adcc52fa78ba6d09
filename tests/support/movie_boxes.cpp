#include "support/movie_boxes.h"

#include <cstring>

namespace vidsalvage::test {
namespace {

Bytes track_header(std::uint32_t id) {
  Bytes body;
  append_u32(body, 0);  // creation time
  append_u32(body, 0);  // modification time
  append_u32(body, id);
  append_u32(body, 0);         // reserved
  append_u32(body, 0);         // duration
  append(body, Bytes(16, 0));  // reserved, layer, alternate group, volume, reserved
  for (std::uint32_t m : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) {
    append_u32(body, m);
  }
  append_u32(body, 0);  // width
  append_u32(body, 0);  // height
  return full_box("tkhd", 0, 3, body);
}

Bytes sample_tables(const TrackLayout& s) {
  Bytes entry = Bytes(6, 0);
  append_u16(entry, 1);  // data reference index
  append(entry, s.entry_fields);
  append(entry, s.entry_children);
  Bytes stsd;
  append_u32(stsd, 1);
  append(stsd, box(s.entry, entry));
  Bytes stts;
  append_u32(stts, static_cast<std::uint32_t>(s.durations.size()));
  for (const auto& [count, delta] : s.durations) {
    append_u32(stts, count);
    append_u32(stts, delta);
  }
  Bytes stsz;
  append_u32(stsz, s.uniform_size);
  if (s.uniform_size != 0) {
    append_u32(stsz, s.uniform_count);
  } else {
    append_u32(stsz, static_cast<std::uint32_t>(s.sizes.size()));
    for (std::uint32_t size : s.sizes) append_u32(stsz, size);
  }
  Bytes stsc;
  append_u32(stsc, static_cast<std::uint32_t>(s.chunk_runs.size()));
  for (const auto& [first, per_chunk] : s.chunk_runs) {
    append_u32(stsc, first);
    append_u32(stsc, per_chunk);
    append_u32(stsc, 1);  // sample description index
  }
  Bytes chunks;
  append_u32(chunks, static_cast<std::uint32_t>(s.chunk_offsets.size()));
  for (std::uint64_t offset : s.chunk_offsets) {
    if (s.co64) {
      append_u64(chunks, offset);
    } else {
      append_u32(chunks, static_cast<std::uint32_t>(offset));
    }
  }
  return concat({full_box("stsd", 0, 0, stsd), full_box("stts", 0, 0, stts),
                 full_box("stsz", 0, 0, stsz), full_box("stsc", 0, 0, stsc),
                 full_box(s.co64 ? "co64" : "stco", 0, 0, chunks)});
}

}  // namespace

Bytes full_box(std::string_view type, std::uint8_t version, std::uint32_t flags,
               const Bytes& body) {
  Bytes b;
  append_u32(b, (std::uint32_t{version} << 24) | flags);
  append(b, body);
  return box(type, b);
}

Bytes track_box(const TrackLayout& s) {
  Bytes mdhd;
  append_u32(mdhd, 0);
  append_u32(mdhd, 0);
  append_u32(mdhd, s.timescale);
  append_u32(mdhd, 0);       // duration
  append_u16(mdhd, 0x55C4);  // language "und"
  append_u16(mdhd, 0);
  Bytes hdlr;
  append_u32(hdlr, 0);
  append(hdlr, s.handler);
  append(hdlr, Bytes(12, 0));
  append(hdlr, s.name);
  Bytes dref;
  append_u32(dref, 1);
  append(dref, full_box("url ", 0, 1, {}));
  const Bytes minf = concat({full_box("nmhd", 0, 0, {}), box("dinf", full_box("dref", 0, 0, dref)),
                             box("stbl", sample_tables(s))});
  const Bytes mdia =
      concat({full_box("mdhd", 0, 0, mdhd), full_box("hdlr", 0, 0, hdlr), box("minf", minf)});
  return box("trak", concat({track_header(s.id), box("mdia", mdia)}));
}

TrackLayout one_sample_per_chunk(TrackLayout layout, const std::vector<std::uint64_t>& offsets,
                                 const std::vector<std::uint32_t>& sizes) {
  layout.chunk_runs = {{1, 1}};
  layout.chunk_offsets = offsets;
  layout.sizes = sizes;
  layout.uniform_size = 0;
  layout.durations = {{static_cast<std::uint32_t>(sizes.size()), 1}};
  return layout;
}

Bytes visual_entry_fields() {
  Bytes f(70, 0);
  f[16] = 0x01;  // width 320
  f[17] = 0x40;
  f[18] = 0x00;  // height 240
  f[19] = 0xF0;
  return f;
}

Bytes sound_entry_fields(std::uint16_t channels, std::uint16_t bits, std::uint16_t rate) {
  Bytes f(8, 0);  // version, revision, vendor
  append_u16(f, channels);
  append_u16(f, bits);
  append_u32(f, 0);  // compression id, packet size
  append_u16(f, rate);
  append_u16(f, 0);
  return f;
}

Bytes sound_entry_fields_v1(std::uint16_t channels, std::uint16_t rate,
                            std::uint32_t bytes_per_frame) {
  Bytes f = {0, 1};        // version
  append(f, Bytes(6, 0));  // revision, vendor
  append_u16(f, channels);
  append_u16(f, 16);
  append_u16(f, 0xFFFE);  // compression id -2
  append_u16(f, 0);
  append_u16(f, rate);
  append_u16(f, 0);
  append_u32(f, 1);  // samples per packet
  append_u32(f, bytes_per_frame / channels);
  append_u32(f, bytes_per_frame);
  append_u32(f, 2);  // bytes per sample
  return f;
}

Bytes sound_entry_fields_v2(std::uint32_t channels, std::uint32_t bits, double rate,
                            std::uint32_t format_flags, std::uint32_t bytes_per_frame) {
  Bytes f = {0, 2};        // version
  append(f, Bytes(6, 0));  // revision, vendor
  append_u16(f, 3);
  append_u16(f, 16);
  append_u16(f, 0xFFFE);
  append_u16(f, 0);
  append_u32(f, 65536);
  append_u32(f, 72);  // sizeOfStructOnly: the entry up to its extensions
  std::uint64_t rate_bits = 0;
  std::memcpy(&rate_bits, &rate, sizeof rate);
  append_u64(f, rate_bits);
  append_u32(f, channels);
  append_u32(f, 0x7F000000);
  append_u32(f, bits);
  append_u32(f, format_flags);
  append_u32(f, bytes_per_frame);
  append_u32(f, 1);  // frames per packet
  return f;
}

Bytes pcm_config_box(bool little_endian, std::uint8_t sample_bits) {
  return full_box("pcmC", 0, 0,
                  Bytes{static_cast<std::uint8_t>(little_endian ? 1 : 0), sample_bits});
}

Bytes aac_esds_box(const Bytes& audio_specific_config) {
  Bytes dsi = {0x05, static_cast<std::uint8_t>(audio_specific_config.size())};
  append(dsi, audio_specific_config);
  Bytes dcd = {0x04, static_cast<std::uint8_t>(13 + dsi.size()), 0x40, 0x15};
  append(dcd, Bytes(11, 0));  // buffer size and bit rates
  append(dcd, dsi);
  Bytes es = {0x03, static_cast<std::uint8_t>(3 + dcd.size()), 0x00, 0x01, 0x00};
  append(es, dcd);
  return full_box("esds", 0, 0, es);
}

RecordingBuilder::RecordingBuilder() {
  file_ = box("ftyp", bytes_of("isom"));
  mdat_at_ = file_.size();
  append_u32(file_, 0);  // the size, set by finish()
  append(file_, "mdat");
}

void RecordingBuilder::add(std::uint32_t track, const Bytes& sample) {
  offsets_[track].push_back(file_.size());
  sizes_[track].push_back(static_cast<std::uint32_t>(sample.size()));
  append(file_, sample);
}

Bytes RecordingBuilder::finish(const std::function<TrackLayout(std::uint32_t)>& layout_of) const {
  Bytes moov = full_box("mvhd", 0, 0, Bytes(96, 0));
  for (const auto& [track, offsets] : offsets_) {
    append(moov, track_box(one_sample_per_chunk(layout_of(track), offsets, sizes_.at(track))));
  }
  Bytes file = file_;
  const auto mdat_size = static_cast<std::uint32_t>(file.size() - mdat_at_);
  for (std::size_t i = 0; i < 4; ++i) {
    file[mdat_at_ + i] = static_cast<std::uint8_t>(mdat_size >> (24 - 8 * i));
  }
  append(file, box("moov", moov));
  return file;
}

}  // namespace vidsalvage::test
