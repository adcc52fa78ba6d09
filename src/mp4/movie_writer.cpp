#include "mp4/movie_writer.h"

#include <algorithm>
#include <string_view>

#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A window guarantee: 16 MB are held from any offset read_input made readable.
constexpr std::int64_t kCopyPieceBytes = 16 * 1024 * 1024;
// The media data header: a 32-bit size of 1, the type, then the 64-bit size, so
// that a file past 4 GiB needs no second pass.
constexpr std::int64_t kMediaHeaderBytes = 16;
constexpr std::uint32_t kUnityRate = 0x00010000;  // 16.16 fixed point
constexpr std::uint32_t kUnityMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
constexpr std::uint32_t kSelfContained = 1;  // data reference flag: the media is in this file
constexpr std::uint32_t kTrackEnabledInMovie = 3;

// Boxes appended to one buffer; end() writes the size of the innermost open box.
class BoxBuilder {
 public:
  explicit BoxBuilder(Bytes& out) : out_(out) {}

  void begin(std::string_view type) {
    open_.push_back(out_.size());
    u32(0);
    fourcc(type);
  }
  void begin_full(std::string_view type, std::uint8_t version, std::uint32_t flags) {
    begin(type);
    u32(std::uint32_t{version} << 24 | flags);
  }
  void end() {
    const std::size_t at = open_.back();
    open_.pop_back();
    const auto size = static_cast<std::uint32_t>(out_.size() - at);
    for (int i = 0; i < 4; ++i) out_[at + static_cast<std::size_t>(i)] = byte(size, 24 - 8 * i);
  }

  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) {
    out_.push_back(byte(v, 8));
    out_.push_back(byte(v, 0));
  }
  void u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(byte(v, shift));
  }
  void u64(std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out_.push_back(byte(v, shift));
  }
  void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
  void fourcc(std::string_view type) {
    for (std::size_t i = 0; i < 4; ++i) {
      out_.push_back(i < type.size() ? static_cast<std::uint8_t>(type[i]) : ' ');
    }
  }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  static std::uint8_t byte(std::uint64_t v, int shift) {
    return static_cast<std::uint8_t>(v >> shift);
  }
  Bytes& out_;
  std::vector<std::size_t> open_;
};

// value * to / from, rounded up, without overflowing for any 32-bit timescales.
std::uint64_t rescale_up(std::uint64_t value, std::uint32_t from, std::uint32_t to) {
  if (from == 0) return 0;
  const std::uint64_t whole = value / from * to;
  const std::uint64_t part = (value % from * to + from - 1) / from;
  return whole + part;
}

bool fits_u32(std::uint64_t v) { return v <= UINT32_MAX; }

// A template box is used when it is whole: its size field says its length and
// its type is the one expected.
bool is_whole_box(std::span<const std::uint8_t> box) {
  return box.size() >= 8 && load_be32(box) == box.size();
}

bool is_box(std::span<const std::uint8_t> box, std::string_view type, std::size_t min_body) {
  return is_whole_box(box) && box.size() >= 8 + min_body &&
         std::equal(type.begin(), type.end(), box.begin() + 4);
}

// The width of the length in front of each video unit: lengthSizeMinusOne, the
// low two bits of avcC's fifth byte or hvcC's twenty-second (ISO/IEC 14496-15,
// 5.3.3.1.2 and 8.3.3.1.2), in the configuration box among the visual sample
// entry's children. 4 without one.
std::uint8_t unit_length_bytes(std::span<const std::uint8_t> entry) {
  constexpr std::size_t kVisualEntryFields = 8 + 78;  // the box header, then the fields
  ByteReader r(entry.size() > kVisualEntryFields ? entry.subspan(kVisualEntryFields)
                                                 : std::span<const std::uint8_t>{});
  std::uint32_t size = 0;
  std::span<const std::uint8_t> type, body;
  while (r.read_u32(size) && r.read_bytes(4, type) && size >= 8 && r.read_bytes(size - 8, body)) {
    if (std::equal(type.begin(), type.end(), "avcC") && body.size() >= 5) {
      return static_cast<std::uint8_t>((body[4] & 3) + 1);
    }
    if (std::equal(type.begin(), type.end(), "hvcC") && body.size() >= 22) {
      return static_cast<std::uint8_t>((body[21] & 3) + 1);
    }
  }
  return 4;
}

void write_file_type(BoxBuilder& b, const MovieTemplate& movie) {
  if (is_box(movie.ftyp, "ftyp", 8)) {
    b.bytes(movie.ftyp);
    return;
  }
  b.begin("ftyp");
  if (movie.quicktime) {
    b.fourcc("qt  ");
    b.u32(0x200);
    b.fourcc("qt  ");
  } else {
    b.fourcc("isom");
    b.u32(0x200);
    for (std::string_view brand : {"isom", "iso2", "avc1", "mp41"}) b.fourcc(brand);
  }
  b.end();
}

// ---- The sample tables.

void append_run(std::vector<DurationRun>& runs, std::uint64_t count, std::uint32_t delta) {
  if (!runs.empty() && runs.back().delta == delta && runs.back().count <= UINT32_MAX - count) {
    runs.back().count += static_cast<std::uint32_t>(count);
  } else {
    runs.push_back({static_cast<std::uint32_t>(count), delta});
  }
}

void append_offset_run(std::vector<TrackSamples::OffsetRun>& runs, std::uint64_t count,
                       std::int32_t offset) {
  if (!runs.empty() && runs.back().offset == offset && runs.back().count <= UINT32_MAX - count) {
    runs.back().count += static_cast<std::uint32_t>(count);
  } else {
    runs.push_back({static_cast<std::uint32_t>(count), offset});
  }
}

void record_sizes(TrackSamples& t, std::uint64_t count, std::uint32_t size) {
  if (t.sample_count == 0 && size != 0) {
    t.uniform_size = size;
    return;
  }
  if (t.sizes.empty() && t.uniform_size == size && size != 0) return;
  if (t.sizes.empty()) {
    t.sizes.assign(static_cast<std::size_t>(t.sample_count), t.uniform_size);
    t.uniform_size = 0;
  }
  t.sizes.insert(t.sizes.end(), static_cast<std::size_t>(count), size);
}

void record_sync(TrackSamples& t, std::uint64_t count, bool sync) {
  if (sync && t.all_sync) return;
  if (t.all_sync) {
    t.all_sync = false;
    for (std::uint64_t n = 1; n <= t.sample_count; ++n) {
      t.sync_numbers.push_back(static_cast<std::uint32_t>(n));
    }
  }
  if (!sync) return;
  for (std::uint64_t n = 1; n <= count; ++n) {
    t.sync_numbers.push_back(static_cast<std::uint32_t>(t.sample_count + n));
  }
}

// The chunk that ended gets its run in stsc unless the previous run has its size.
void close_chunk(TrackSamples& t) {
  if (t.chunk_offsets.empty()) return;
  if (t.chunk_runs.empty() || t.chunk_runs.back().samples_per_chunk != t.samples_in_last_chunk) {
    t.chunk_runs.push_back(
        {static_cast<std::uint32_t>(t.chunk_offsets.size()), t.samples_in_last_chunk});
  }
  t.samples_in_last_chunk = 0;
}

bool has_composition_offsets(const TrackSamples& t) {
  return std::any_of(t.composition_offsets.begin(), t.composition_offsets.end(),
                     [](const TrackSamples::OffsetRun& r) { return r.offset != 0; });
}

bool has_negative_offsets(const TrackSamples& t) {
  return std::any_of(t.composition_offsets.begin(), t.composition_offsets.end(),
                     [](const TrackSamples::OffsetRun& r) { return r.offset < 0; });
}

void write_durations(BoxBuilder& b, const TrackSamples& t) {
  b.begin_full("stts", 0, 0);
  b.u32(static_cast<std::uint32_t>(t.durations.size()));
  for (const DurationRun& run : t.durations) {
    b.u32(run.count);
    b.u32(run.delta);
  }
  b.end();
}

// Version 1 tells an ISO reader that offsets are signed; QuickTime's are signed
// in version 0 already.
void write_composition_offsets(BoxBuilder& b, const TrackSamples& t, bool quicktime) {
  b.begin_full("ctts", !quicktime && has_negative_offsets(t) ? 1 : 0, 0);
  b.u32(static_cast<std::uint32_t>(t.composition_offsets.size()));
  for (const TrackSamples::OffsetRun& run : t.composition_offsets) {
    b.u32(run.count);
    b.u32(static_cast<std::uint32_t>(run.offset));
  }
  b.end();
}

void write_sync_samples(BoxBuilder& b, const TrackSamples& t) {
  b.begin_full("stss", 0, 0);
  b.u32(static_cast<std::uint32_t>(t.sync_numbers.size()));
  for (std::uint32_t n : t.sync_numbers) b.u32(n);
  b.end();
}

// Tables are written after close_chunk(): chunk_runs covers every chunk.
void write_chunk_runs(BoxBuilder& b, const TrackSamples& t) {
  b.begin_full("stsc", 0, 0);
  b.u32(static_cast<std::uint32_t>(t.chunk_runs.size()));
  for (const ChunkRun& run : t.chunk_runs) {
    b.u32(run.first_chunk);
    b.u32(run.samples_per_chunk);
    b.u32(1);  // sample_description_index
  }
  b.end();
}

void write_sizes(BoxBuilder& b, const TrackSamples& t) {
  b.begin_full("stsz", 0, 0);
  b.u32(t.sizes.empty() ? t.uniform_size : 0);
  b.u32(static_cast<std::uint32_t>(t.sample_count));
  for (std::uint32_t size : t.sizes) b.u32(size);
  b.end();
}

void write_chunk_offsets(BoxBuilder& b, const TrackSamples& t) {
  const bool wide = !t.chunk_offsets.empty() && !fits_u32(t.chunk_offsets.back());
  b.begin_full(wide ? "co64" : "stco", 0, 0);
  b.u32(static_cast<std::uint32_t>(t.chunk_offsets.size()));
  for (std::uint64_t offset : t.chunk_offsets) {
    if (wide) {
      b.u64(offset);
    } else {
      b.u32(static_cast<std::uint32_t>(offset));
    }
  }
  b.end();
}

// ---- The edit list.

struct Edit {
  std::uint64_t duration = 0;  // in the movie's timescale
  std::int64_t media_time = -1;
  std::uint32_t rate = kUnityRate;
};

// The reference's edits; an unreadable list counts as none.
std::vector<Edit> read_edits(std::span<const std::uint8_t> elst) {
  std::vector<Edit> edits;
  if (!is_box(elst, "elst", 8)) return edits;
  ByteReader r(elst.subspan(8));
  std::uint8_t version = 0;
  std::uint32_t count = 0;
  const std::size_t width = 4 + 4 + 4;
  if (!r.read_u8(version) || !r.skip(3) || !r.read_u32(count) ||
      count > r.remaining() / (version == 1 ? width + 8 : width)) {
    return edits;
  }
  edits.resize(count);
  for (Edit& e : edits) {
    std::uint32_t duration32 = 0, time32 = 0;
    std::uint64_t time64 = 0;
    const bool ok = version == 1 ? r.read_u64(e.duration) && r.read_u64(time64)
                                 : r.read_u32(duration32) && r.read_u32(time32);
    if (!ok || !r.read_u32(e.rate)) return {};
    if (version != 1) {
      e.duration = duration32;
      time64 =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(time32)));
    }
    e.media_time = static_cast<std::int64_t>(time64);
  }
  return edits;
}

// The reference's leading empty edits (a track that starts later), then one
// edit over the whole media: from the first presentation time when the samples
// have composition offsets, else from where the reference's edit starts (the
// encoder delay of AAC).
std::vector<Edit> plan_edits(const TrackTemplate& track, const TrackSamples& t,
                             std::uint32_t movie_timescale) {
  const std::vector<Edit> reference = read_edits(track.edit_list);
  std::vector<Edit> edits;
  Edit media;
  for (const Edit& e : reference) {
    if (e.media_time >= 0) {
      media = e;
      break;
    }
    edits.push_back(e);
  }
  const bool reordered = has_composition_offsets(t);
  if (reordered) {
    media.media_time = std::max<std::int64_t>(0, t.first_presentation);
  } else if (media.media_time < 0) {
    media.media_time = 0;
  }
  if (reference.empty() && (!reordered || media.media_time == 0)) return {};
  const std::int64_t end = reordered ? t.presentation_end : static_cast<std::int64_t>(t.duration);
  const auto span = static_cast<std::uint64_t>(std::max<std::int64_t>(0, end - media.media_time));
  media.duration = rescale_up(span, track.timescale, movie_timescale);
  edits.push_back(media);
  return edits;
}

void write_edits(BoxBuilder& b, const std::vector<Edit>& edits) {
  if (edits.empty()) return;
  const bool wide = std::any_of(edits.begin(), edits.end(), [](const Edit& e) {
    return !fits_u32(e.duration) || e.media_time > INT32_MAX;
  });
  b.begin("edts");
  b.begin_full("elst", wide ? 1 : 0, 0);
  b.u32(static_cast<std::uint32_t>(edits.size()));
  for (const Edit& e : edits) {
    if (wide) {
      b.u64(e.duration);
      b.u64(static_cast<std::uint64_t>(e.media_time));
    } else {
      b.u32(static_cast<std::uint32_t>(e.duration));
      b.u32(static_cast<std::uint32_t>(e.media_time));
    }
    b.u32(e.rate);
  }
  b.end();
  b.end();
}

std::uint64_t edits_duration(const std::vector<Edit>& edits) {
  std::uint64_t sum = 0;
  for (const Edit& e : edits) sum += e.duration;
  return sum;
}

// ---- Headers.

void write_movie_header(BoxBuilder& b, std::uint32_t timescale, std::uint64_t duration,
                        std::uint32_t next_track_id) {
  const bool wide = !fits_u32(duration);
  b.begin_full("mvhd", wide ? 1 : 0, 0);
  b.zeros(wide ? 16 : 8);  // creation and modification times: unknown
  b.u32(timescale);
  if (wide) {
    b.u64(duration);
  } else {
    b.u32(static_cast<std::uint32_t>(duration));
  }
  b.u32(kUnityRate);
  b.u16(0x0100);  // full volume
  b.zeros(10);
  for (std::uint32_t m : kUnityMatrix) b.u32(m);
  b.zeros(24);
  b.u32(next_track_id);
  b.end();
}

std::uint32_t track_id(const TrackTemplate& track, std::size_t index) {
  return track.id != 0 ? track.id : static_cast<std::uint32_t>(index + 1);
}

void write_default_track_header(BoxBuilder& b, const TrackTemplate& track, std::uint32_t id,
                                std::uint64_t duration) {
  b.begin_full("tkhd", 1, kTrackEnabledInMovie);
  b.zeros(16);
  b.u32(id);
  b.u32(0);
  b.u64(duration);
  b.zeros(8);
  b.u16(0);  // layer
  b.u16(0);  // alternate group
  b.u16(track.handler == "soun" ? 0x0100 : 0);
  b.u16(0);
  for (std::uint32_t m : kUnityMatrix) b.u32(m);
  b.u32(0);  // width and height: the sample description has them
  b.u32(0);
  b.end();
}

// The reference's track header, matrix and size included, with this file's
// duration; a version 0 header whose duration no longer fits becomes version 1.
void write_track_header(BoxBuilder& b, const TrackTemplate& track, std::uint32_t id,
                        std::uint64_t duration) {
  const std::span<const std::uint8_t> tkhd = track.tkhd;
  const std::uint8_t version = tkhd.size() > 8 ? tkhd[8] : 0;
  const std::size_t times = version == 1 ? 28 : 20;  // creation .. reserved, after the header
  if (!is_box(tkhd, "tkhd", times + (version == 1 ? 8 : 4))) {
    write_default_track_header(b, track, id, duration);
    return;
  }
  const std::size_t rest = 8 + times + (version == 1 ? 8 : 4);
  const bool wide = version == 1 || !fits_u32(duration);
  b.begin_full("tkhd", wide ? 1 : 0, load_be32(tkhd.subspan(8)) & 0xFFFFFF);
  if (version == 1) {
    b.bytes(tkhd.subspan(12, 24));
  } else if (wide) {
    b.u64(load_be32(tkhd.subspan(12)));
    b.u64(load_be32(tkhd.subspan(16)));
    b.bytes(tkhd.subspan(20, 8));
  } else {
    b.bytes(tkhd.subspan(12, 16));
  }
  if (wide) {
    b.u64(duration);
  } else {
    b.u32(static_cast<std::uint32_t>(duration));
  }
  b.bytes(tkhd.subspan(rest));
  b.end();
}

void write_media_header(BoxBuilder& b, const TrackTemplate& track, std::uint64_t duration) {
  const bool wide = !fits_u32(duration);
  b.begin_full("mdhd", wide ? 1 : 0, 0);
  b.zeros(wide ? 16 : 8);
  b.u32(track.timescale);
  if (wide) {
    b.u64(duration);
  } else {
    b.u32(static_cast<std::uint32_t>(duration));
  }
  b.u16(track.language & 0x7FFF);
  b.u16(0);
  b.end();
}

// MP4 names the handler with a C string, QuickTime with a counted one.
void write_handler(BoxBuilder& b, const TrackTemplate& track, bool quicktime) {
  b.begin_full("hdlr", 0, 0);
  if (quicktime) {
    b.fourcc("mhlr");
  } else {
    b.u32(0);
  }
  b.fourcc(track.handler);
  b.zeros(12);
  const std::string_view name(track.handler_name.data(),
                              std::min<std::size_t>(track.handler_name.size(), 255));
  if (quicktime) b.u8(static_cast<std::uint8_t>(name.size()));
  for (char c : name) b.u8(static_cast<std::uint8_t>(c));
  if (!quicktime) b.u8(0);
  b.end();
}

void write_media_information_header(BoxBuilder& b, const TrackTemplate& track) {
  if (is_box(track.media_header, "vmhd", 0) || is_box(track.media_header, "smhd", 0) ||
      is_box(track.media_header, "nmhd", 0) || is_box(track.media_header, "gmhd", 0)) {
    b.bytes(track.media_header);
  } else if (track.handler == "vide") {
    b.begin_full("vmhd", 0, 1);
    b.zeros(8);
    b.end();
  } else if (track.handler == "soun") {
    b.begin_full("smhd", 0, 0);
    b.zeros(4);
    b.end();
  } else {
    b.begin_full("nmhd", 0, 0);
    b.end();
  }
}

void write_data_information(BoxBuilder& b, bool quicktime) {
  b.begin("dinf");
  b.begin_full("dref", 0, 0);
  b.u32(1);
  b.begin_full(quicktime ? "alis" : "url ", 0, kSelfContained);
  b.end();
  b.end();
  b.end();
}

void write_sample_tables(BoxBuilder& b, const TrackTemplate& track, const TrackSamples& t,
                         bool quicktime) {
  b.begin("stbl");
  b.begin_full("stsd", 0, 0);
  b.u32(1);
  b.bytes(track.sample_entry);
  b.end();
  write_durations(b, t);
  if (has_composition_offsets(t)) write_composition_offsets(b, t, quicktime);
  if (!t.all_sync) write_sync_samples(b, t);
  write_chunk_runs(b, t);
  write_sizes(b, t);
  write_chunk_offsets(b, t);
  b.end();
}

// What a track's headers say of its length: the edits, the track header's
// duration in the movie's timescale and the media header's in the track's.
struct TrackPlan {
  std::vector<Edit> edits;
  std::uint64_t track_duration = 0;
  std::uint64_t media_duration = 0;
};

TrackPlan plan_track(const TrackTemplate& track, const TrackSamples& t,
                     std::uint32_t movie_timescale) {
  TrackPlan plan;
  plan.edits = plan_edits(track, t, movie_timescale);
  plan.media_duration = t.duration;
  plan.track_duration = plan.edits.empty()
                            ? rescale_up(t.duration, track.timescale, movie_timescale)
                            : edits_duration(plan.edits);
  return plan;
}

void write_track(BoxBuilder& b, const MovieTemplate& movie, std::size_t index,
                 const TrackSamples& t, const TrackPlan& plan) {
  const TrackTemplate& track = movie.tracks[index];
  b.begin("trak");
  write_track_header(b, track, track_id(track, index), plan.track_duration);
  write_edits(b, plan.edits);
  b.begin("mdia");
  write_media_header(b, track, plan.media_duration);
  write_handler(b, track, movie.quicktime);
  b.begin("minf");
  write_media_information_header(b, track);
  write_data_information(b, movie.quicktime);
  write_sample_tables(b, track, t, movie.quicktime);
  b.end();
  b.end();
  b.end();
}

// Moves composition offsets so that no sample is presented before time 0: an
// edit cannot start at a negative media time.
void shift_to_zero(TrackSamples& t) {
  if (t.first_presentation >= 0 || t.first_presentation == INT64_MAX) return;
  const std::int64_t shift = -t.first_presentation;
  for (TrackSamples::OffsetRun& run : t.composition_offsets) {
    run.offset = static_cast<std::int32_t>(std::min<std::int64_t>(INT32_MAX, run.offset + shift));
  }
  t.first_presentation = 0;
  t.presentation_end += shift;
}

Bytes movie_box(const MovieTemplate& movie, std::vector<TrackSamples>& tracks) {
  std::vector<TrackPlan> plans(tracks.size());
  std::uint64_t duration = 0;
  std::uint32_t next_id = 1;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].sample_count == 0) continue;  // a track with no samples plays nothing
    close_chunk(tracks[i]);
    shift_to_zero(tracks[i]);
    plans[i] = plan_track(movie.tracks[i], tracks[i], movie.timescale);
    duration = std::max(duration, plans[i].track_duration);
    next_id = std::max(next_id, track_id(movie.tracks[i], i) + 1);
  }
  // Samples that last 0 (a camera's per-sample descriptors) describe the whole
  // movie, as the recorder's own header says.
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].sample_count == 0 || tracks[i].duration != 0 || !plans[i].edits.empty()) continue;
    plans[i].track_duration = duration;
    plans[i].media_duration = rescale_up(duration, movie.timescale, movie.tracks[i].timescale);
  }
  Bytes out;
  BoxBuilder b(out);
  b.begin("moov");
  write_movie_header(b, movie.timescale, duration, next_id);
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].sample_count != 0) write_track(b, movie, i, tracks[i], plans[i]);
  }
  b.end();
  return out;
}

}  // namespace

std::vector<std::uint8_t> chunk_offset_box(const TrackSamples& t) {
  Bytes out;
  BoxBuilder b(out);
  write_chunk_offsets(b, t);
  return out;
}

bool MovieWriter::start(OutputFile& out, const MovieTemplate& movie) {
  out_ = nullptr;
  // A track without a timescale or a whole sample description cannot be played.
  const auto unplayable = [](const TrackTemplate& t) {
    return t.timescale == 0 || !is_whole_box(t.sample_entry);
  };
  if (movie.tracks.empty() || std::any_of(movie.tracks.begin(), movie.tracks.end(), unplayable)) {
    return false;
  }
  out_ = &out;
  movie_ = movie;
  if (movie_.timescale == 0) movie_.timescale = 1000;
  tracks_.assign(movie_.tracks.size(), TrackSamples{});
  unit_length_bytes_.clear();
  for (const TrackTemplate& track : movie_.tracks) {
    unit_length_bytes_.push_back(unit_length_bytes(track.sample_entry));
  }
  chunk_track_ = SIZE_MAX;
  in_sample_ = false;
  failed_ = false;
  Bytes head;
  BoxBuilder b(head);
  write_file_type(b, movie_);
  mdat_offset_ = out.position() + static_cast<std::int64_t>(head.size());
  b.u32(1);
  b.fourcc("mdat");
  b.u64(0);  // patched by finish()
  failed_ = !out.write(head);
  return !failed_;
}

std::int64_t MovieWriter::media_bytes() const {
  return out_ == nullptr ? 0 : out_->position() - mdat_offset_;
}

void MovieWriter::record(std::size_t track, std::uint64_t count, std::uint32_t size,
                         const SampleTiming& timing) {
  TrackSamples& t = tracks_[track];
  const auto start = static_cast<std::uint64_t>(sample_start_);
  // A chunk holds consecutive samples of one track that lie back to back.
  if (chunk_track_ != track || t.chunk_offsets.empty() || chunk_end_ != start) {
    close_chunk(t);
    t.chunk_offsets.push_back(start);
  }
  chunk_track_ = track;
  chunk_end_ = start + count * size;
  const auto decode_time = static_cast<std::int64_t>(t.duration);
  t.first_presentation = std::min(t.first_presentation, decode_time + timing.composition_offset);
  t.presentation_end = std::max(
      t.presentation_end, decode_time + static_cast<std::int64_t>((count - 1) * timing.duration) +
                              timing.composition_offset + timing.duration);
  record_sizes(t, count, size);
  record_sync(t, count, timing.sync);
  append_run(t.durations, count, timing.duration);
  append_offset_run(t.composition_offsets, count, timing.composition_offset);
  t.samples_in_last_chunk += static_cast<std::uint32_t>(count);
  t.sample_count += count;
  t.duration += count * timing.duration;
}

SampleWrite MovieWriter::begin_sample(std::size_t track, const SampleTiming& timing) {
  if (failed_) return SampleWrite::WriteFailed;
  if (out_ == nullptr || in_sample_ || track >= tracks_.size() ||
      tracks_[track].sample_count >= UINT32_MAX) {
    return SampleWrite::Refused;
  }
  in_sample_ = true;
  sample_track_ = track;
  sample_timing_ = timing;
  sample_start_ = out_->position();
  return SampleWrite::Done;
}

SampleWrite MovieWriter::append_bytes(std::span<const std::uint8_t> bytes) {
  if (failed_) return SampleWrite::WriteFailed;
  if (!in_sample_) return SampleWrite::Refused;
  if (!out_->write(bytes)) failed_ = true;
  return failed_ ? SampleWrite::WriteFailed : SampleWrite::Done;
}

SampleWrite MovieWriter::append_input(InputWindow& input, std::int64_t offset,
                                      std::int64_t length) {
  if (failed_) return SampleWrite::WriteFailed;
  if (!in_sample_ || offset < 0 || length < 0) return SampleWrite::Refused;
  while (length > 0) {
    const std::int64_t piece = std::min(length, kCopyPieceBytes);
    const std::span<const std::uint8_t> bytes = read_input(input, offset, piece);
    if (bytes.empty()) return SampleWrite::ReadFailed;
    if (!out_->write(bytes)) {
      failed_ = true;
      return SampleWrite::WriteFailed;
    }
    offset += piece;
    length -= piece;
  }
  return SampleWrite::Done;
}

SampleWrite MovieWriter::append_units(InputWindow& input, std::span<const InputUnit> units) {
  if (failed_) return SampleWrite::WriteFailed;
  if (!in_sample_) return SampleWrite::Refused;
  const std::uint8_t width = unit_length_bytes_[sample_track_];
  for (const InputUnit& unit : units) {
    if (width < 4 && unit.length >> (8 * width) != 0) return SampleWrite::Refused;
  }
  for (const InputUnit& unit : units) {
    std::uint8_t length[4] = {};
    for (std::uint8_t i = 0; i < width; ++i) {
      length[i] = static_cast<std::uint8_t>(unit.length >> (8 * (width - 1 - i)));
    }
    SampleWrite done = append_bytes({length, width});
    if (done == SampleWrite::Done) done = append_input(input, unit.offset, unit.length);
    if (done != SampleWrite::Done) return done;
  }
  return SampleWrite::Done;
}

SampleWrite MovieWriter::end_sample() {
  if (failed_) return SampleWrite::WriteFailed;
  if (!in_sample_) return SampleWrite::Refused;
  in_sample_ = false;
  const std::int64_t size = out_->position() - sample_start_;
  // stsz holds 32-bit sizes. The bytes stay in mdat unreferenced, and the next
  // sample starts a chunk of its own because it does not follow the last one.
  if (size > UINT32_MAX) return SampleWrite::Refused;
  record(sample_track_, 1, static_cast<std::uint32_t>(size), sample_timing_);
  return SampleWrite::Done;
}

void MovieWriter::abandon_sample() { in_sample_ = false; }

SampleWrite MovieWriter::add_input_sample(std::size_t track, const SampleTiming& timing,
                                          InputWindow& input, std::int64_t offset,
                                          std::uint32_t length) {
  SampleWrite done = begin_sample(track, timing);
  if (done == SampleWrite::Done) done = append_input(input, offset, length);
  if (done != SampleWrite::Done) {
    abandon_sample();
    return done;
  }
  return end_sample();
}

SampleWrite MovieWriter::add_input_frames(std::size_t track, InputWindow& input,
                                          std::int64_t offset, std::int64_t length,
                                          std::uint32_t frame_bytes, std::uint32_t frame_duration) {
  if (failed_) return SampleWrite::WriteFailed;
  if (frame_bytes == 0 || length <= 0 || length % frame_bytes != 0 || track >= tracks_.size()) {
    return SampleWrite::Refused;
  }
  const auto frames = static_cast<std::uint64_t>(length / frame_bytes);
  if (frames > UINT32_MAX - tracks_[track].sample_count) return SampleWrite::Refused;
  SampleWrite done = begin_sample(track, {frame_duration, 0, true});
  if (done == SampleWrite::Done) done = append_input(input, offset, length);
  in_sample_ = false;
  if (done != SampleWrite::Done) return done;
  record(track, frames, frame_bytes, {frame_duration, 0, true});
  return SampleWrite::Done;
}

bool MovieWriter::finish() {
  if (out_ == nullptr || failed_) return false;
  in_sample_ = false;
  const std::int64_t mdat_size = out_->position() - mdat_offset_;
  const Bytes moov = movie_box(movie_, tracks_);
  Bytes size;
  BoxBuilder b(size);
  b.u64(static_cast<std::uint64_t>(mdat_size));
  failed_ = !out_->write(moov) || !out_->write_at(mdat_offset_ + 8, size);
  out_ = nullptr;  // the movie is written once; later samples are refused
  return !failed_;
}

}  // namespace vidsalvage
