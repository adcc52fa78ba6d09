#include "support/tracks.h"

#include <stdexcept>

#include "support/media.h"

namespace vidsalvage::test {
namespace {

std::vector<std::int64_t> chunk_offsets(const Bytes& trak) {
  std::vector<std::int64_t> offsets;
  for (const char* type : {"stco", "co64"}) {
    const auto boxes = find_boxes(trak, type);
    if (boxes.empty()) continue;
    const int width = std::string(type) == "stco" ? 4 : 8;
    const std::int64_t body = boxes[0].body_offset();
    const auto count = static_cast<std::int64_t>(read_be(trak, body + 4, 4));
    for (std::int64_t i = 0; i < count; ++i) {
      offsets.push_back(static_cast<std::int64_t>(read_be(trak, body + 8 + i * width, width)));
    }
  }
  return offsets;
}

}  // namespace

std::vector<Track> read_tracks(const Bytes& file) {
  std::vector<Track> tracks;
  for (const BoxRef& trak_box : find_boxes(file, "trak")) {
    // A copy of the trak box alone, so that the walk below stays inside it.
    const Bytes trak = slice(file, trak_box.offset, trak_box.size);
    Track track;
    const auto hdlr = find_boxes(trak, "hdlr");
    if (!hdlr.empty()) track.handler.assign(trak.begin() + hdlr[0].body_offset() + 8,
                                            trak.begin() + hdlr[0].body_offset() + 12);
    const BoxRef stsz = find_boxes(trak, "stsz").at(0);
    const BoxRef stsc = find_boxes(trak, "stsc").at(0);
    const auto uniform = static_cast<std::int64_t>(read_be(trak, stsz.body_offset() + 4, 4));
    const auto sample_count = static_cast<std::int64_t>(read_be(trak, stsz.body_offset() + 8, 4));
    const auto entries = static_cast<std::int64_t>(read_be(trak, stsc.body_offset() + 4, 4));
    const std::vector<std::int64_t> chunks = chunk_offsets(trak);
    std::int64_t sample = 0;
    for (std::int64_t e = 0; e < entries; ++e) {
      const std::int64_t at = stsc.body_offset() + 8 + e * 12;
      const auto first_chunk = static_cast<std::int64_t>(read_be(trak, at, 4));
      const auto per_chunk = static_cast<std::int64_t>(read_be(trak, at + 4, 4));
      const std::int64_t next_first =
          e + 1 < entries ? static_cast<std::int64_t>(read_be(trak, at + 12, 4))
                          : static_cast<std::int64_t>(chunks.size()) + 1;
      for (std::int64_t chunk = first_chunk; chunk < next_first; ++chunk) {
        std::int64_t offset = chunks.at(static_cast<std::size_t>(chunk - 1));
        for (std::int64_t k = 0; k < per_chunk && sample < sample_count; ++k, ++sample) {
          const std::int64_t size =
              uniform != 0 ? uniform
                           : static_cast<std::int64_t>(read_be(trak, stsz.body_offset() + 12 + sample * 4, 4));
          track.samples.push_back({offset, size});
          offset += size;
        }
      }
    }
    tracks.push_back(std::move(track));
  }
  return tracks;
}

Bytes sample_bytes(const Bytes& file, const std::vector<Sample>& samples) {
  Bytes out;
  for (const Sample& s : samples) append(out, slice(file, s.offset, s.size));
  return out;
}

Bytes cut_moov(const Bytes& intact) {
  for (const BoxRef& moov : find_boxes(intact, "moov")) {
    return slice(intact, 0, moov.offset);
  }
  return {};
}

std::vector<Bytes> annexb_units(const Bytes& stream) {
  std::vector<Bytes> units;
  const std::size_t n = stream.size();
  std::size_t i = 0;
  std::size_t unit_start = std::string::npos;
  while (i + 2 < n) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      if (unit_start != std::string::npos) {
        std::size_t end = i;
        // A 4-byte start code's leading zero belongs to the start code.
        while (end > unit_start && stream[end - 1] == 0) --end;
        units.emplace_back(stream.begin() + static_cast<long>(unit_start),
                           stream.begin() + static_cast<long>(end));
      }
      i += 3;
      unit_start = i;
    } else {
      ++i;
    }
  }
  if (unit_start != std::string::npos && unit_start <= n) {
    units.emplace_back(stream.begin() + static_cast<long>(unit_start), stream.end());
  }
  return units;
}

std::vector<Bytes> length_prefixed_units(const Bytes& file, const std::vector<Sample>& samples) {
  std::vector<Bytes> units;
  for (const Sample& s : samples) {
    std::int64_t at = s.offset;
    while (at + 4 <= s.offset + s.size) {
      const auto length = static_cast<std::int64_t>(read_be(file, at, 4));
      units.push_back(slice(file, at + 4, length));
      at += 4 + length;
    }
  }
  return units;
}

}  // namespace vidsalvage::test
