#include "mp4/box_tree.h"

#include <algorithm>
#include <cstring>

#include "io/byte_reader.h"
#include "mp4/top_level_boxes.h"

namespace vidsalvage {
namespace {

constexpr std::uint32_t kSizeToEnd = 0;  // the box runs to the end of what holds it
constexpr std::uint32_t kSizeIn64 = 1;   // a 64-bit size follows the type
constexpr std::size_t kMaxNameChars = 64;
// A window guarantee: 16 MB are held from any offset read_input made readable.
constexpr std::int64_t kCopyPieceBytes = 16 * 1024 * 1024;
// Bounds the samples of one track so that a hostile table cannot size a huge list;
// a day of 60 fps video has about 5 million.
constexpr std::uint64_t kMaxSamplesPerTrack = 1u << 24;

struct Box {
  std::string type;
  std::int64_t offset = 0;  // file offset of its size field
  std::span<const std::uint8_t> body;
  std::int64_t body_offset = 0;
};

// The child boxes of a body held in memory, one after another.
class BoxList {
 public:
  BoxList(std::span<const std::uint8_t> bytes, std::int64_t base) : bytes_(bytes), base_(base) {}

  // False at the end of the list, or at a box whose size does not fit (damaged()).
  bool next(Box& box) {
    const std::size_t left = bytes_.size() - pos_;
    // Fewer bytes than a header: padding that some writers leave at the end.
    if (left < 8 || damaged_) return false;
    ByteReader r(bytes_.subspan(pos_));
    std::uint32_t size32 = 0;
    std::span<const std::uint8_t> type;
    if (!r.read_u32(size32) || !r.read_bytes(4, type)) return false;
    std::uint64_t size = size32;
    if (size32 == kSizeIn64 && !r.read_u64(size)) size = 0;
    if (size32 == kSizeToEnd) size = left;
    const std::size_t header = r.position();
    box.type.assign(type.begin(), type.end());
    box.offset = base_ + static_cast<std::int64_t>(pos_);
    if (size < header || size > left) {
      damaged_ = true;
      damaged_type_ = box.type;
      return false;
    }
    box.body = bytes_.subspan(pos_ + header, static_cast<std::size_t>(size) - header);
    box.body_offset = box.offset + static_cast<std::int64_t>(header);
    pos_ += static_cast<std::size_t>(size);
    return true;
  }

  bool damaged() const { return damaged_; }
  // The type of the box that does not fit, and its offset.
  const std::string& damaged_type() const { return damaged_type_; }
  std::int64_t offset() const { return base_ + static_cast<std::int64_t>(pos_); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::int64_t base_;
  std::size_t pos_ = 0;
  bool damaged_ = false;
  std::string damaged_type_;
};

bool fail(BoxTreeError& error, BoxTreeStatus status, std::string_view box, std::int64_t offset) {
  error.status = status;
  error.box.assign(box);
  error.offset = offset;
  return false;
}

bool damaged(BoxTreeError& error, const Box& box) {
  return fail(error, BoxTreeStatus::Damaged, box.type, box.offset);
}

enum class Lookup { Found, Missing, Damaged };

// The first child of `parent` with the given type.
Lookup find_child(const Box& parent, std::string_view type, Box& child, BoxTreeError& error) {
  BoxList list(parent.body, parent.body_offset);
  while (list.next(child)) {
    if (child.type == type) return Lookup::Found;
  }
  if (list.damaged()) {
    fail(error, BoxTreeStatus::Damaged, list.damaged_type(), list.offset());
    return Lookup::Damaged;
  }
  return Lookup::Missing;
}

// A required child: a missing one is damage of its parent.
bool require_child(const Box& parent, std::string_view type, Box& child, BoxTreeError& error) {
  switch (find_child(parent, type, child, error)) {
    case Lookup::Found:
      return true;
    case Lookup::Missing:
      return damaged(error, parent);
    case Lookup::Damaged:
      return false;
  }
  return false;
}

std::string four_chars(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// tkhd and mdhd keep their field after times that are 32 or 64 bits wide.
bool read_versioned_u32(const Box& box, std::size_t offset_v0, std::size_t offset_v1,
                        std::uint32_t& out) {
  ByteReader r(box.body);
  std::uint8_t version = 0;
  if (!r.read_u8(version)) return false;
  return r.skip((version == 1 ? offset_v1 : offset_v0) - 1) && r.read_u32(out);
}

// The name of a handler: a C string in MP4, a counted string in QuickTime.
std::string handler_name(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty() && bytes[0] == bytes.size() - 1) bytes = bytes.subspan(1);
  std::string name;
  for (std::uint8_t c : bytes) {
    if (c == 0 || name.size() == kMaxNameChars) break;
    if (c >= 0x20 && c < 0x7F) name.push_back(static_cast<char>(c));
  }
  return name;
}

bool read_handler(const Box& hdlr, TrackTables& track, BoxTreeError& error) {
  ByteReader r(hdlr.body);
  std::span<const std::uint8_t> type;
  if (!r.skip(8) || !r.read_bytes(4, type) || !r.skip(12)) return damaged(error, hdlr);
  track.handler = four_chars(type);
  std::span<const std::uint8_t> name;
  if (!r.read_bytes(r.remaining(), name)) return damaged(error, hdlr);
  track.handler_name = handler_name(name);
  return true;
}

// The fields of a sound sample entry in its three versions (QuickTime adds 1 and 2).
bool read_sound_fields(std::span<const std::uint8_t> body, TrackTables& track,
                       std::size_t& fields) {
  ByteReader r(body);
  std::uint16_t version = 0;
  if (!r.skip(8) || !r.read_u16(version)) return false;
  track.sound_version = version;
  if (version == 2) {
    std::uint64_t rate_bits = 0;
    std::uint32_t channels = 0, bits = 0;
    // revision, vendor, five constants, sizeOfStructOnly; then the rate as a double.
    if (!r.skip(22) || !r.read_u64(rate_bits) || !r.read_u32(channels) || !r.skip(4) ||
        !r.read_u32(bits) || !r.read_u32(track.lpcm_flags) || !r.read_u32(track.bytes_per_frame) ||
        !r.read_u32(track.frames_per_packet)) {
      return false;
    }
    double rate = 0;
    std::memcpy(&rate, &rate_bits, sizeof rate);
    track.sample_rate = rate > 0 && rate < 1e7 ? static_cast<std::uint32_t>(rate) : 0;
    track.channels = channels;
    track.sample_bits = bits;
    fields = 64;
    return true;
  }
  std::uint16_t channels = 0, bits = 0, rate = 0;
  if (!r.skip(6) || !r.read_u16(channels) || !r.read_u16(bits) || !r.skip(4) || !r.read_u16(rate) ||
      !r.skip(2)) {
    return false;
  }
  track.channels = channels;
  track.sample_bits = bits;
  track.sample_rate = rate;
  std::uint32_t bytes_per_packet = 0;
  if (version == 1 && (!r.skip(4) || !r.read_u32(bytes_per_packet) ||
                       !r.read_u32(track.bytes_per_frame) || !r.skip(4))) {
    return false;
  }
  fields = version == 1 ? 44 : 28;
  return true;
}

// The boxes of a sound entry that say how its PCM samples are stored: 'enda'
// (QuickTime, in 'wave' or beside it) and 'pcmC' (ISO/IEC 23003-5).
bool read_pcm_boxes(const Box& entry, TrackTables& track, BoxTreeError& error) {
  Box enda, wave, pcmc;
  Lookup found = find_child(entry, "enda", enda, error);
  if (found == Lookup::Missing) {
    found = find_child(entry, "wave", wave, error);
    if (found == Lookup::Found) found = find_child(wave, "enda", enda, error);
  }
  if (found == Lookup::Damaged) return false;
  std::uint16_t little = 0;
  if (found == Lookup::Found) {
    ByteReader r(enda.body);
    if (!r.read_u16(little)) return damaged(error, enda);
    track.little_endian_box = little == 1;
  }
  switch (find_child(entry, "pcmC", pcmc, error)) {
    case Lookup::Found: {
      ByteReader r(pcmc.body);
      if (!r.skip(4) || !r.read_u8(track.pcm_format_flags) || !r.read_u8(track.pcm_sample_size)) {
        return damaged(error, pcmc);
      }
      track.has_pcm_config = true;
      return true;
    }
    case Lookup::Missing:
      return true;
    case Lookup::Damaged:
      return false;
  }
  return false;
}

// Copies the body of a configuration box among the entry's children; in MOV the
// esds of an mp4a entry sits in a wave box.
bool copy_config(const Box& entry, std::string_view type, std::vector<std::uint8_t>& out,
                 BoxTreeError& error) {
  Box child;
  Lookup found = find_child(entry, type, child, error);
  if (found == Lookup::Missing && type == "esds") {
    Box wave;
    found = find_child(entry, "wave", wave, error);
    if (found == Lookup::Found) found = find_child(wave, type, child, error);
  }
  if (found == Lookup::Damaged) return false;
  if (found == Lookup::Found) out.assign(child.body.begin(), child.body.end());
  return true;
}

bool read_sample_entry(const Box& stsd, TrackTables& track, BoxTreeError& error) {
  ByteReader r(stsd.body);
  std::uint32_t count = 0;
  if (!r.skip(4) || !r.read_u32(count)) return damaged(error, stsd);
  if (count == 0) return true;
  BoxList list(stsd.body.subspan(8), stsd.body_offset + 8);
  Box entry;
  if (!list.next(entry)) return damaged(error, stsd);
  track.entry_type = entry.type;
  std::size_t fields = 0;
  if (track.handler == "vide") {
    fields = 78;
  } else if (track.handler == "soun") {
    if (!read_sound_fields(entry.body, track, fields)) return damaged(error, entry);
  } else {
    return true;  // other entries' fields are not known: their children are not read
  }
  if (fields > entry.body.size()) return damaged(error, entry);
  Box inner = entry;
  inner.body = entry.body.subspan(fields);
  inner.body_offset = entry.body_offset + static_cast<std::int64_t>(fields);
  if (track.handler == "soun" && !read_pcm_boxes(inner, track, error)) return false;
  return copy_config(inner, "avcC", track.avcc, error) &&
         copy_config(inner, "hvcC", track.hvcc, error) &&
         copy_config(inner, "esds", track.esds, error);
}

bool read_durations(const Box& stts, TrackTables& track, BoxTreeError& error) {
  ByteReader r(stts.body);
  std::uint32_t count = 0;
  if (!r.skip(4) || !r.read_u32(count) || count > r.remaining() / 8) return damaged(error, stts);
  track.durations.resize(count);
  for (DurationRun& run : track.durations) {
    if (!r.read_u32(run.count) || !r.read_u32(run.delta)) return damaged(error, stts);
  }
  return true;
}

bool read_sizes(const Box& stsz, TrackTables& track, BoxTreeError& error) {
  ByteReader r(stsz.body);
  if (!r.skip(4) || !r.read_u32(track.uniform_size) || !r.read_u32(track.sample_count)) {
    return damaged(error, stsz);
  }
  if (track.uniform_size != 0) return true;
  if (track.sample_count > r.remaining() / 4) return damaged(error, stsz);
  track.sizes.resize(track.sample_count);
  for (std::uint32_t& size : track.sizes) {
    if (!r.read_u32(size)) return damaged(error, stsz);
  }
  return true;
}

bool read_chunk_runs(const Box& stsc, TrackTables& track, BoxTreeError& error) {
  ByteReader r(stsc.body);
  std::uint32_t count = 0;
  if (!r.skip(4) || !r.read_u32(count) || count > r.remaining() / 12) {
    return damaged(error, stsc);
  }
  track.chunk_runs.resize(count);
  std::uint32_t previous = 0;
  for (ChunkRun& run : track.chunk_runs) {
    if (!r.read_u32(run.first_chunk) || !r.read_u32(run.samples_per_chunk) || !r.skip(4)) {
      return damaged(error, stsc);
    }
    // Runs start at chunk 1 and go strictly upwards.
    if (run.first_chunk <= previous) return damaged(error, stsc);
    previous = run.first_chunk;
  }
  return true;
}

bool read_chunk_offsets(const Box& box, std::size_t width, TrackTables& track,
                        BoxTreeError& error) {
  ByteReader r(box.body);
  std::uint32_t count = 0;
  if (!r.skip(4) || !r.read_u32(count) || count > r.remaining() / width) {
    return damaged(error, box);
  }
  track.chunk_offsets.resize(count);
  for (std::uint64_t& offset : track.chunk_offsets) {
    std::uint32_t offset32 = 0;
    const bool ok = width == 8 ? r.read_u64(offset) : r.read_u32(offset32);
    if (!ok) return damaged(error, box);
    if (width == 4) offset = offset32;
  }
  return true;
}

bool read_sample_tables(const Box& stbl, TrackTables& track, BoxTreeError& error) {
  Box stsd, stsz, stsc, stts, chunks;
  if (!require_child(stbl, "stsd", stsd, error) || !read_sample_entry(stsd, track, error) ||
      !require_child(stbl, "stsz", stsz, error) || !read_sizes(stsz, track, error) ||
      !require_child(stbl, "stsc", stsc, error) || !read_chunk_runs(stsc, track, error)) {
    return false;
  }
  switch (find_child(stbl, "stts", stts, error)) {
    case Lookup::Found:
      if (!read_durations(stts, track, error)) return false;
      break;
    case Lookup::Missing:
      break;
    case Lookup::Damaged:
      return false;
  }
  switch (find_child(stbl, "stco", chunks, error)) {
    case Lookup::Found:
      return read_chunk_offsets(chunks, 4, track, error);
    case Lookup::Missing:
      return require_child(stbl, "co64", chunks, error) &&
             read_chunk_offsets(chunks, 8, track, error);
    case Lookup::Damaged:
      return false;
  }
  return false;
}

bool read_media(const Box& mdia, TrackTables& track, BoxTreeError& error) {
  Box mdhd, hdlr, minf, stbl;
  const Lookup header = find_child(mdia, "mdhd", mdhd, error);
  if (header == Lookup::Damaged) return false;
  if (header == Lookup::Found && !read_versioned_u32(mdhd, 12, 20, track.timescale)) {
    return damaged(error, mdhd);
  }
  return require_child(mdia, "hdlr", hdlr, error) && read_handler(hdlr, track, error) &&
         require_child(mdia, "minf", minf, error) && require_child(minf, "stbl", stbl, error) &&
         read_sample_tables(stbl, track, error);
}

bool read_track(const Box& trak, std::uint32_t position, TrackTables& track, BoxTreeError& error) {
  track.id = position;
  Box tkhd, mdia;
  const Lookup header = find_child(trak, "tkhd", tkhd, error);
  if (header == Lookup::Damaged) return false;
  std::uint32_t id = 0;
  if (header == Lookup::Found && read_versioned_u32(tkhd, 12, 20, id) && id != 0) track.id = id;
  return require_child(trak, "mdia", mdia, error) && read_media(mdia, track, error);
}

bool copy_input(InputWindow& input, std::int64_t offset, std::vector<std::uint8_t>& out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::int64_t piece =
        std::min<std::int64_t>(kCopyPieceBytes, static_cast<std::int64_t>(out.size() - done));
    const std::span<const std::uint8_t> bytes =
        read_input(input, offset + static_cast<std::int64_t>(done), piece);
    if (bytes.empty()) return false;
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(done));
    done += bytes.size();
  }
  return true;
}

}  // namespace

bool read_movie(InputWindow& input, std::vector<TrackTables>& tracks, BoxTreeError& error) {
  std::int64_t offset = 0;
  while (offset + 8 <= input.size) {
    TopBox box;
    const TopBoxRead read = read_top_box(input, offset, box);
    if (read == TopBoxRead::ReadFailed) return fail(error, BoxTreeStatus::ReadFailed, "", offset);
    // Trailing bytes that are no box, or a box larger than the file: the movie
    // box is not after them.
    if (read == TopBoxRead::NoBox || box.runs_past_end) break;
    if (std::string(box.type) == "moov") {
      const std::int64_t body_size = box.size - box.header;
      if (body_size > kMaxMovieBytes) {
        return fail(error, BoxTreeStatus::MovieTooLarge, box.type, offset);
      }
      std::vector<std::uint8_t> body(static_cast<std::size_t>(body_size));
      if (!copy_input(input, offset + box.header, body)) {
        return fail(error, BoxTreeStatus::ReadFailed, box.type, offset);
      }
      return read_movie_body(body, offset + box.header, tracks, error);
    }
    offset += box.size;
  }
  return fail(error, BoxTreeStatus::NoMovie, "moov", 0);
}

bool read_movie_body(std::span<const std::uint8_t> body, std::int64_t base,
                     std::vector<TrackTables>& tracks, BoxTreeError& error) {
  BoxList list(body, base);
  Box box;
  std::uint32_t position = 0;
  while (list.next(box)) {
    if (box.type != "trak") continue;
    TrackTables track;
    if (!read_track(box, ++position, track, error)) return false;
    tracks.push_back(std::move(track));
  }
  if (list.damaged())
    return fail(error, BoxTreeStatus::Damaged, list.damaged_type(), list.offset());
  return true;
}

SampleListStatus list_samples(const TrackTables& track, std::int64_t file_size, bool merge_chunks,
                              std::vector<SampleRef>& samples) {
  samples.clear();
  const std::uint64_t count = track.sample_count;
  if (!merge_chunks && count > kMaxSamplesPerTrack) return SampleListStatus::TooMany;
  const auto chunk_count = static_cast<std::uint32_t>(track.chunk_offsets.size());
  const auto limit = static_cast<std::uint64_t>(file_size);
  std::uint64_t sample = 0;
  for (std::size_t run = 0; run < track.chunk_runs.size() && sample < count; ++run) {
    const ChunkRun& here = track.chunk_runs[run];
    const std::uint32_t end_chunk =
        run + 1 < track.chunk_runs.size() ? track.chunk_runs[run + 1].first_chunk - 1 : chunk_count;
    if (end_chunk > chunk_count) return SampleListStatus::TablesDisagree;
    for (std::uint32_t chunk = here.first_chunk; chunk <= end_chunk && sample < count; ++chunk) {
      const std::uint64_t start = track.chunk_offsets[chunk - 1];
      const std::uint64_t n = std::min<std::uint64_t>(here.samples_per_chunk, count - sample);
      // Sizes are summed only while they stay inside the file, so nothing wraps.
      std::uint64_t offset = start;
      if (track.uniform_size != 0 && merge_chunks) {
        // One step per chunk: a uniform count can be in the billions.
        if (start > limit || n > (limit - start) / track.uniform_size) {
          return SampleListStatus::OutsideFile;
        }
        offset += n * track.uniform_size;
        sample += n;
      } else {
        for (std::uint64_t k = 0; k < n; ++k, ++sample) {
          const std::uint64_t size =
              track.uniform_size != 0 ? track.uniform_size : track.sizes[sample];
          if (offset > limit || size > limit - offset) return SampleListStatus::OutsideFile;
          if (!merge_chunks) {
            samples.push_back(
                {static_cast<std::int64_t>(offset), static_cast<std::uint32_t>(size)});
          }
          offset += size;
        }
      }
      if (merge_chunks && offset > start) {
        if (offset - start > UINT32_MAX) return SampleListStatus::TablesDisagree;
        samples.push_back(
            {static_cast<std::int64_t>(start), static_cast<std::uint32_t>(offset - start)});
      }
    }
  }
  return sample == count ? SampleListStatus::Ok : SampleListStatus::TablesDisagree;
}

}  // namespace vidsalvage

// ---- The movie template: what a playable file copies from the reference.
namespace vidsalvage {
namespace {

// The whole box, header included, when it fits the template's limit.
bool copy_box(const Box& box, std::size_t limit, std::vector<std::uint8_t>& out,
              BoxTreeError& error) {
  const auto header = static_cast<std::size_t>(box.body_offset - box.offset);
  if (box.body.size() > limit - header) {
    return fail(error, BoxTreeStatus::MovieTooLarge, box.type, box.offset);
  }
  const std::uint8_t* start = box.body.data() - header;
  out.assign(start, box.body.data() + box.body.size());
  return true;
}

// A child that may be missing: Found copies it.
bool copy_optional_child(const Box& parent, std::string_view type, std::size_t limit,
                         std::vector<std::uint8_t>& out, BoxTreeError& error) {
  Box child;
  switch (find_child(parent, type, child, error)) {
    case Lookup::Found:
      return copy_box(child, limit, out, error);
    case Lookup::Missing:
      return true;
    case Lookup::Damaged:
      return false;
  }
  return false;
}

// The most common delta, weighted by its samples. The last sample's delta may
// differ in a constant-rate track: writers cut it to the end of the recording.
void summarise_durations(const std::vector<DurationRun>& runs, TrackTemplate& track) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;  // delta, samples
  for (const DurationRun& run : runs) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& c) { return c.first == run.delta; });
    if (it == counts.end()) {
      counts.push_back({run.delta, run.count});
    } else {
      it->second += run.count;
    }
  }
  std::uint64_t best = 0;
  for (const auto& [delta, samples] : counts) {
    if (samples > best) {
      best = samples;
      track.sample_delta = delta;
    }
  }
  track.constant_delta = !runs.empty();
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const bool last_sample = i + 1 == runs.size() && runs[i].count == 1 && i > 0;
    if (runs[i].delta != track.sample_delta && !last_sample) track.constant_delta = false;
  }
}

bool read_track_timing(const Box& stbl, TrackTemplate& track, BoxTreeError& error) {
  TrackTables tables;
  Box box;
  Lookup found = find_child(stbl, "stts", box, error);
  if (found == Lookup::Damaged) return false;
  if (found == Lookup::Found && !read_durations(box, tables, error)) return false;
  summarise_durations(tables.durations, track);
  found = find_child(stbl, "ctts", box, error);
  if (found == Lookup::Damaged) return false;
  track.composition_offsets = found == Lookup::Found;
  found = find_child(stbl, "stss", box, error);
  if (found == Lookup::Damaged) return false;
  track.sync_table = found == Lookup::Found;
  return true;
}

bool read_first_entry(const Box& stsd, TrackTemplate& track, BoxTreeError& error) {
  ByteReader r(stsd.body);
  std::uint32_t count = 0;
  if (!r.skip(4) || !r.read_u32(count)) return damaged(error, stsd);
  BoxList list(stsd.body.subspan(8), stsd.body_offset + 8);
  Box entry;
  if (count == 0 || !list.next(entry)) return damaged(error, stsd);
  return copy_box(entry, kMaxSampleEntryBytes, track.sample_entry, error);
}

// The media header box: vmhd, smhd, nmhd or gmhd, whichever the track has.
bool copy_media_header(const Box& minf, TrackTemplate& track, BoxTreeError& error) {
  for (std::string_view type : {"vmhd", "smhd", "nmhd", "gmhd"}) {
    if (!copy_optional_child(minf, type, kMaxTemplateBoxBytes, track.media_header, error)) {
      return false;
    }
    if (!track.media_header.empty()) return true;
  }
  return true;
}

bool read_media_template(const Box& mdia, TrackTemplate& track, BoxTreeError& error) {
  Box mdhd, hdlr, minf, stbl, stsd;
  if (!require_child(mdia, "mdhd", mdhd, error)) return false;
  ByteReader r(mdhd.body);
  std::uint8_t version = 0;
  if (!r.read_u8(version) || !r.skip(version == 1 ? 19 : 11) || !r.read_u32(track.timescale) ||
      !r.skip(version == 1 ? 8 : 4) || !r.read_u16(track.language)) {
    return damaged(error, mdhd);
  }
  TrackTables names;
  if (!require_child(mdia, "hdlr", hdlr, error) || !read_handler(hdlr, names, error)) return false;
  track.handler = names.handler;
  track.handler_name = names.handler_name;
  return require_child(mdia, "minf", minf, error) && copy_media_header(minf, track, error) &&
         require_child(minf, "stbl", stbl, error) && require_child(stbl, "stsd", stsd, error) &&
         read_first_entry(stsd, track, error) && read_track_timing(stbl, track, error);
}

bool read_track_template(const Box& trak, std::uint32_t position, TrackTemplate& track,
                         BoxTreeError& error) {
  Box tkhd, mdia, edts;
  if (!require_child(trak, "tkhd", tkhd, error) ||
      !copy_box(tkhd, kMaxTemplateBoxBytes, track.tkhd, error)) {
    return false;
  }
  std::uint32_t id = 0;
  if (!read_versioned_u32(tkhd, 12, 20, id)) return damaged(error, tkhd);
  track.id = id != 0 ? id : position;
  const Lookup edits = find_child(trak, "edts", edts, error);
  if (edits == Lookup::Damaged) return false;
  if (edits == Lookup::Found &&
      !copy_optional_child(edts, "elst", kMaxTemplateBoxBytes, track.edit_list, error)) {
    return false;
  }
  return require_child(trak, "mdia", mdia, error) && read_media_template(mdia, track, error);
}

}  // namespace

bool read_template_body(std::span<const std::uint8_t> body, std::int64_t base, MovieTemplate& movie,
                        BoxTreeError& error) {
  BoxList list(body, base);
  Box box;
  std::uint32_t position = 0;
  bool have_header = false;
  while (list.next(box)) {
    if (box.type == "mvhd") {
      if (!read_versioned_u32(box, 12, 20, movie.timescale)) return damaged(error, box);
      have_header = true;
    }
    if (box.type != "trak") continue;
    TrackTemplate track;
    if (!read_track_template(box, ++position, track, error)) return false;
    movie.tracks.push_back(std::move(track));
  }
  if (list.damaged()) {
    return fail(error, BoxTreeStatus::Damaged, list.damaged_type(), list.offset());
  }
  if (!have_header) return fail(error, BoxTreeStatus::Damaged, "moov", base - 8);
  return true;
}

bool read_movie_template(InputWindow& input, MovieTemplate& movie, BoxTreeError& error) {
  movie = MovieTemplate{};
  movie.quicktime = true;  // a file without ftyp is QuickTime's
  std::int64_t offset = 0;
  while (offset + 8 <= input.size) {
    TopBox top;
    const TopBoxRead read = read_top_box(input, offset, top);
    if (read == TopBoxRead::ReadFailed) return fail(error, BoxTreeStatus::ReadFailed, "", offset);
    if (read == TopBoxRead::NoBox || top.runs_past_end) break;
    const std::string type = top.type;
    const bool wanted = (type == "ftyp" && movie.ftyp.empty()) || type == "moov";
    const std::int64_t limit =
        type == "moov" ? kMaxMovieBytes : static_cast<std::int64_t>(kMaxTemplateBoxBytes) - 8;
    if (wanted && top.size - top.header > limit) {
      return fail(error, BoxTreeStatus::MovieTooLarge, type, offset);
    }
    if (wanted) {
      std::vector<std::uint8_t> whole(static_cast<std::size_t>(top.size));
      if (!copy_input(input, offset, whole)) {
        return fail(error, BoxTreeStatus::ReadFailed, type, offset);
      }
      const std::span<const std::uint8_t> body =
          std::span<const std::uint8_t>(whole).subspan(static_cast<std::size_t>(top.header));
      if (type == "moov") return read_template_body(body, offset + top.header, movie, error);
      if (body.size() < 4) return fail(error, BoxTreeStatus::Damaged, type, offset);
      movie.quicktime = four_chars(body.first(4)) == "qt  ";
      // Kept with a 32-bit size, whatever form of size the reference used.
      const auto size = static_cast<std::uint32_t>(8 + body.size());
      movie.ftyp = {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                    static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
      movie.ftyp.insert(movie.ftyp.end(), whole.begin() + 4, whole.begin() + 8);
      movie.ftyp.insert(movie.ftyp.end(), body.begin(), body.end());
    }
    offset += top.size;
  }
  return fail(error, BoxTreeStatus::NoMovie, "moov", 0);
}

}  // namespace vidsalvage
