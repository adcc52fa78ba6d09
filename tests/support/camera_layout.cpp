#include "support/camera_layout.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "support/media.h"
#include "support/movie_boxes.h"
#include "support/tracks.h"

namespace vidsalvage::test {
namespace {

constexpr std::uint32_t kVideoId = 1;
constexpr std::uint32_t kAudioId = 2;
constexpr std::uint32_t kDescriptorId = 3;
constexpr std::uint32_t kTimecodeId = 4;
constexpr std::uint32_t kTelemetryId = 5;

BoxRef first_box(const Bytes& file, std::string_view type) {
  const std::vector<BoxRef> boxes = find_boxes(file, type);
  if (boxes.empty()) throw std::runtime_error("source recording: no " + std::string(type));
  return boxes[0];
}

// One track of the source: its trak box and its samples in decoding order.
struct SourceTrack {
  Bytes trak;
  std::string handler;
  bool pcm = false;
  std::uint32_t timescale = 1;
  std::vector<std::int64_t> offsets;
  std::vector<std::int64_t> sizes;
  std::vector<double> times;                 // decoding time of each sample, in seconds
  std::vector<std::uint32_t> chunk_samples;  // PCM: source samples per merged sample
};

// The tracks of the source with their samples' decoding times; PCM samples,
// single audio frames, are merged into the runs they form in the file (chunks).
std::vector<SourceTrack> read_source_tracks(const Bytes& file) {
  const std::vector<Track> tracks = read_tracks(file);
  const std::vector<BoxRef> traks = find_boxes(file, "trak");
  std::vector<SourceTrack> out;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    SourceTrack t;
    t.trak = slice(file, traks[i].offset, traks[i].size);
    t.handler = tracks[i].handler;
    t.pcm = !find_boxes(t.trak, "sowt").empty() || !find_boxes(t.trak, "twos").empty();
    const BoxRef mdhd = first_box(t.trak, "mdhd");
    t.timescale = static_cast<std::uint32_t>(read_be(t.trak, mdhd.body_offset() + 12, 4));
    const BoxRef stts = first_box(t.trak, "stts");
    const auto runs = static_cast<std::int64_t>(read_be(t.trak, stts.body_offset() + 4, 4));
    std::vector<double> times;
    std::uint64_t clock = 0;
    for (std::int64_t r = 0; r < runs; ++r) {
      const auto n = read_be(t.trak, stts.body_offset() + 8 + r * 8, 4);
      const auto delta = read_be(t.trak, stts.body_offset() + 12 + r * 8, 4);
      for (std::uint64_t k = 0; k < n; ++k, clock += delta) {
        times.push_back(static_cast<double>(clock) / t.timescale);
      }
    }
    for (std::size_t k = 0; k < tracks[i].samples.size(); ++k) {
      const Sample& s = tracks[i].samples[k];
      if (t.pcm && !t.offsets.empty() && t.offsets.back() + t.sizes.back() == s.offset) {
        t.sizes.back() += s.size;
        ++t.chunk_samples.back();
        continue;
      }
      t.offsets.push_back(s.offset);
      t.sizes.push_back(s.size);
      t.times.push_back(times.at(k));
      if (t.pcm) t.chunk_samples.push_back(1);
    }
    out.push_back(std::move(t));
  }
  return out;
}

Bytes sample_to_chunk(const std::vector<std::uint32_t>& per_chunk) {
  Bytes body;
  std::uint32_t entries = 0;
  Bytes table;
  for (std::size_t i = 0; i < per_chunk.size(); ++i) {
    if (i > 0 && per_chunk[i] == per_chunk[i - 1]) continue;
    append_u32(table, static_cast<std::uint32_t>(i + 1));
    append_u32(table, per_chunk[i]);
    append_u32(table, 1);
    ++entries;
  }
  append_u32(body, entries);
  append(body, table);
  return full_box("stsc", 0, 0, body);
}

Bytes chunk_offset_box(const std::vector<std::int64_t>& offsets) {
  Bytes body;
  append_u32(body, static_cast<std::uint32_t>(offsets.size()));
  for (std::int64_t o : offsets) append_u32(body, static_cast<std::uint32_t>(o));
  return full_box("stco", 0, 0, body);
}

// Copies a box tree, putting `tables` in place of the stbl boxes of their types;
// `drop` names boxes left out.
Bytes rebuild(const Bytes& bytes, std::int64_t first, std::int64_t end,
              const std::vector<Bytes>& tables, const std::vector<std::string>& drop) {
  Bytes out;
  std::int64_t at = first;
  while (at + 8 <= end) {
    const auto size = static_cast<std::int64_t>(read_be(bytes, at, 4));
    const std::string type(bytes.begin() + at + 4, bytes.begin() + at + 8);
    if (size < 8 || at + size > end) throw std::runtime_error("source recording: bad box");
    const auto replaced = [&](const std::string& t) {
      for (const Bytes& table : tables) {
        if (std::string(table.begin() + 4, table.begin() + 8) == t) return true;
      }
      return std::find(drop.begin(), drop.end(), t) != drop.end() || t == "co64";
    };
    if (type == "mdia" || type == "minf" || type == "stbl") {
      Bytes body = rebuild(bytes, at + 8, at + size, tables, drop);
      if (type == "stbl") {
        for (const Bytes& table : tables) {
          // The sample description leads the tables, as every writer puts it.
          const bool leads = std::string(table.begin() + 4, table.begin() + 8) == "stsd";
          body.insert(leads ? body.begin() : body.end(), table.begin(), table.end());
        }
      }
      append(out, box(type, body));
    } else if (!replaced(type)) {
      append(out, slice(bytes, at, size));
    }
    at += size;
  }
  return out;
}

// The sample tables of a source track repeated: sizes, durations.
Bytes repeated_sizes(const SourceTrack& t, int repeats) {
  const BoxRef stsz = first_box(t.trak, "stsz");
  const auto uniform = static_cast<std::uint32_t>(read_be(t.trak, stsz.body_offset() + 4, 4));
  const auto count = static_cast<std::uint32_t>(read_be(t.trak, stsz.body_offset() + 8, 4));
  Bytes body;
  append_u32(body, uniform);
  append_u32(body, count * static_cast<std::uint32_t>(repeats));
  if (uniform == 0) {
    const Bytes entries = slice(t.trak, stsz.body_offset() + 12, std::int64_t{count} * 4);
    for (int k = 0; k < repeats; ++k) append(body, entries);
  }
  return full_box("stsz", 0, 0, body);
}

Bytes repeated_durations(const SourceTrack& t, int repeats) {
  const BoxRef stts = first_box(t.trak, "stts");
  const auto runs = static_cast<std::uint32_t>(read_be(t.trak, stts.body_offset() + 4, 4));
  Bytes body;
  append_u32(body, runs * static_cast<std::uint32_t>(repeats));
  const Bytes entries = slice(t.trak, stts.body_offset() + 8, std::int64_t{runs} * 8);
  for (int k = 0; k < repeats; ++k) append(body, entries);
  return full_box("stts", 0, 0, body);
}

// The sample description of a 'sowt' track rewritten as `entry` says it: 'lpcm'
// with a version 2 sound description, or 'ipcm' with a version 0 entry and pcmC.
Bytes pcm_description(const SourceTrack& t, PcmEntry entry) {
  const BoxRef sowt = first_box(t.trak, "sowt");
  // The sound fields follow the reserved bytes and the data reference index.
  const auto channels = static_cast<std::uint16_t>(read_be(t.trak, sowt.body_offset() + 16, 2));
  const auto bits = static_cast<std::uint16_t>(read_be(t.trak, sowt.body_offset() + 18, 2));
  if (bits != 16) throw std::runtime_error("source recording: 'sowt' of other than 16 bits");
  Bytes body(6, 0);
  append_u16(body, 1);  // data reference index
  std::string type;
  if (entry == PcmEntry::Lpcm) {
    type = "lpcm";
    constexpr std::uint32_t kSignedPacked = 0x4 | 0x8;  // little-endian: no big-endian flag
    append(body, sound_entry_fields_v2(channels, 16, t.timescale, kSignedPacked, channels * 2u));
  } else {
    type = "ipcm";
    append(body, sound_entry_fields(channels, 16, static_cast<std::uint16_t>(t.timescale)));
    append(body, pcm_config_box(true, 16));
  }
  Bytes stsd;
  append_u32(stsd, 1);
  append(stsd, box(type, body));
  return full_box("stsd", 0, 0, stsd);
}

Bytes source_trak(const SourceTrack& t, const std::vector<std::uint32_t>& per_chunk,
                  const std::vector<std::int64_t>& offsets, int repeats,
                  PcmEntry pcm_entry = PcmEntry::AsSource) {
  std::vector<Bytes> tables = {sample_to_chunk(per_chunk), chunk_offset_box(offsets)};
  if (t.pcm && pcm_entry != PcmEntry::AsSource) tables.push_back(pcm_description(t, pcm_entry));
  std::vector<std::string> drop;
  if (repeats > 1) {
    tables.push_back(repeated_sizes(t, repeats));
    tables.push_back(repeated_durations(t, repeats));
    drop = {"ctts", "stss", "sdtp", "sgpd", "sbgp"};
  }
  return box("trak", rebuild(t.trak, 8, static_cast<std::int64_t>(t.trak.size()), tables, drop));
}

// A trak of a track the source did not have: one sample per chunk.
Bytes new_track(std::uint32_t id, std::string_view handler, std::string_view name,
                std::string_view entry, const Bytes& entry_fields,
                const std::vector<std::int64_t>& offsets, const std::vector<std::int64_t>& sizes,
                std::uint32_t timescale, std::uint32_t delta) {
  TrackLayout layout;
  layout.id = id;
  layout.handler = handler;
  layout.name = bytes_of(name);
  layout.name.push_back(0);
  layout.entry = entry;
  layout.entry_fields = entry_fields;
  layout.timescale = timescale;
  layout = one_sample_per_chunk(layout, std::vector<std::uint64_t>(offsets.begin(), offsets.end()),
                                std::vector<std::uint32_t>(sizes.begin(), sizes.end()));
  layout.durations = {{static_cast<std::uint32_t>(sizes.size()), delta}};
  return track_box(layout);
}

// A telemetry sample: a DEVC item holding a device id and accelerometer readings.
Bytes telemetry_sample(std::uint32_t& seed) {
  seed = seed * 1103515245u + 12345u;
  const std::uint32_t readings = 500 + (seed >> 8) % 800;  // 6 bytes each: 3 to 8 KB
  Bytes accl;
  append(accl, "ACCL");
  accl.push_back('s');
  accl.push_back(6);
  append_u16(accl, static_cast<std::uint16_t>(readings));
  append(accl, pseudo_random_bytes(readings * 6, seed));
  while (accl.size() % 4 != 0) accl.push_back(0);
  Bytes payload;
  append(payload, "DVID");
  append(payload, Bytes{'L', 4, 0, 1, 0, 0, 0, 1});
  append(payload, "DVNM");
  append(payload, Bytes{'c', 6, 0, 1});
  append(payload, "Camera");
  append(payload, Bytes{0, 0});
  append(payload, accl);
  Bytes sample;
  append(sample, "DEVC");
  sample.push_back(0);
  sample.push_back(1);
  append_u16(sample, static_cast<std::uint16_t>(payload.size()));
  append(sample, payload);
  return sample;
}

Bytes descriptor(std::uint32_t next_track, std::int64_t next_size, std::uint32_t sequence) {
  Bytes d = {'G', 'P', static_cast<std::uint8_t>(next_track), 0};
  append_u32(d, static_cast<std::uint32_t>(next_size));
  d.push_back(0);
  append_u32(d, sequence);
  append(d, Bytes{0, 0, 0});
  return d;
}

void split_units(const Bytes& sample, std::vector<Bytes>& units) {
  std::size_t at = 0;
  while (at + 4 <= sample.size()) {
    const auto length = static_cast<std::size_t>(read_be(sample, static_cast<std::int64_t>(at), 4));
    units.emplace_back(sample.begin() + static_cast<std::ptrdiff_t>(at + 4),
                       sample.begin() + static_cast<std::ptrdiff_t>(at + 4 + length));
    at += 4 + length;
  }
}

struct Planned {
  CameraTrack track;
  std::size_t index;  // into the source track's samples
  double time;
};

}  // namespace

CameraRecording build_camera_recording(const Bytes& source, const CameraLayoutOptions& options) {
  SourceTrack video, audio;
  for (SourceTrack& t : read_source_tracks(source)) {
    if (t.handler == "vide") video = std::move(t);
    if (t.handler == "soun") audio = std::move(t);
  }
  if (video.offsets.empty() || audio.offsets.empty()) {
    throw std::runtime_error("source recording: needs a video and an audio track");
  }

  std::vector<Planned> plan;
  for (std::size_t i = 0; i < video.offsets.size(); ++i) {
    plan.push_back({CameraTrack::Video, i, video.times[i]});
  }
  for (std::size_t i = 0; i < audio.offsets.size(); ++i) {
    plan.push_back({CameraTrack::Audio, i, audio.times[i]});
  }
  std::stable_sort(plan.begin(), plan.end(),
                   [](const Planned& a, const Planned& b) { return a.time < b.time; });

  CameraRecording rec;
  const BoxRef ftyp = first_box(source, "ftyp");
  rec.file = slice(source, ftyp.offset, ftyp.size);
  const std::int64_t mdat_at = static_cast<std::int64_t>(rec.file.size());
  append_u32(rec.file, 0);  // the size, patched below
  append(rec.file, "mdat");
  rec.media_offset = mdat_at + 8;

  std::uint32_t sequence = options.first_sequence;
  std::uint32_t seed = options.seed;
  std::vector<std::int64_t> video_offsets, audio_offsets;
  std::vector<std::int64_t> desc_offsets, desc_sizes, tc_offsets, tc_sizes, tel_offsets, tel_sizes;
  const auto emit = [&](CameraTrack track, std::uint32_t id, const Bytes& bytes) {
    if (options.descriptors) {
      const Bytes d = descriptor(id, static_cast<std::int64_t>(bytes.size()), sequence++);
      desc_offsets.push_back(static_cast<std::int64_t>(rec.file.size()));
      desc_sizes.push_back(static_cast<std::int64_t>(d.size()));
      rec.samples.push_back({CameraTrack::Descriptor, desc_offsets.back(), desc_sizes.back()});
      append(rec.file, d);
    }
    const auto offset = static_cast<std::int64_t>(rec.file.size());
    rec.samples.push_back({track, offset, static_cast<std::int64_t>(bytes.size())});
    append(rec.file, bytes);
    return offset;
  };

  if (options.timecode) {
    tc_offsets.push_back(emit(CameraTrack::Timecode, kTimecodeId, {0x00, 0x01, 0x5F, 0x90}));
    tc_sizes.push_back(4);
  }
  // A copy of the source lasts as long as its video.
  const double copy_seconds =
      video.times.back() + (video.times.size() > 1
                                ? video.times.back() / static_cast<double>(video.times.size() - 1)
                                : 0);
  double next_telemetry = 0.5;
  std::vector<std::uint32_t> audio_chunks;
  for (int copy = 0; copy < options.repeats; ++copy) {
    for (const Planned& p : plan) {
      const bool is_video = p.track == CameraTrack::Video;
      const SourceTrack& t = is_video ? video : audio;
      const Bytes sample = slice(source, t.offsets[p.index], t.sizes[p.index]);
      if (is_video) {
        video_offsets.push_back(emit(CameraTrack::Video, kVideoId, sample));
        if (options.keep_media) split_units(sample, rec.video_units);
      } else {
        audio_offsets.push_back(emit(CameraTrack::Audio, kAudioId, sample));
        if (options.keep_media) rec.audio_frames.push_back(sample);
        audio_chunks.push_back(audio.pcm ? audio.chunk_samples[p.index] : 1);
      }
      if (options.telemetry && p.time + copy * copy_seconds >= next_telemetry) {
        const Bytes telemetry = telemetry_sample(seed);
        tel_offsets.push_back(emit(CameraTrack::Telemetry, kTelemetryId, telemetry));
        tel_sizes.push_back(static_cast<std::int64_t>(telemetry.size()));
        next_telemetry += 1.0;
      }
    }
  }
  rec.movie_offset = static_cast<std::int64_t>(rec.file.size());
  const auto mdat_size = static_cast<std::uint32_t>(rec.movie_offset - mdat_at);
  for (int i = 0; i < 4; ++i) {
    rec.file[static_cast<std::size_t>(mdat_at + i)] =
        static_cast<std::uint8_t>(mdat_size >> (24 - 8 * i));
  }

  const BoxRef mvhd = first_box(source, "mvhd");
  Bytes moov = slice(source, mvhd.offset, mvhd.size);
  append(moov, source_trak(video, std::vector<std::uint32_t>(video_offsets.size(), 1),
                           video_offsets, options.repeats));
  append(moov, source_trak(audio, audio_chunks, audio_offsets, options.repeats, options.pcm_entry));
  if (options.descriptors) {
    append(moov, new_track(kDescriptorId, "meta", "Camera descriptors", "camd", {}, desc_offsets,
                           desc_sizes, 1000, 1));
  }
  if (options.timecode) {
    Bytes fields(4, 0);
    append_u32(fields, 0);      // flags
    append_u32(fields, 30000);  // timescale
    append_u32(fields, 1001);   // frame duration
    fields.push_back(30);
    fields.push_back(0);
    append(moov, new_track(kTimecodeId, "tmcd", "Timecode", "tmcd", fields, tc_offsets, tc_sizes,
                           30000, 1001));
  }
  if (options.telemetry) {
    append(moov, new_track(kTelemetryId, "meta", "Camera telemetry", "gpmd", {}, tel_offsets,
                           tel_sizes, 1000, 1000));
  }
  append(rec.file, box("moov", moov));
  return rec;
}

Bytes with_large_media_size(const Bytes& ffmpeg_mp4) {
  const BoxRef free_box = first_box(ffmpeg_mp4, "free");
  const BoxRef mdat = first_box(ffmpeg_mp4, "mdat");
  if (free_box.size != 8 || mdat.offset != free_box.offset + 8 || mdat.header_size != 8) {
    throw std::runtime_error("with_large_media_size: no 8-byte free box in front of mdat");
  }
  Bytes out = ffmpeg_mp4;
  Bytes header;
  append_u32(header, 1);
  append(header, "mdat");
  append_u64(header, static_cast<std::uint64_t>(mdat.size) + 8);
  std::copy(header.begin(), header.end(), out.begin() + free_box.offset);
  return out;
}

Bytes cut_movie(const CameraRecording& recording) {
  return slice(recording.file, 0, recording.movie_offset);
}

Bytes cut_inside_sample(const CameraRecording& recording) {
  const std::int64_t target =
      recording.media_offset + (recording.movie_offset - recording.media_offset) * 3 / 4;
  for (const CameraSample& s : recording.samples) {
    if (s.offset >= target && s.size > 2) return slice(recording.file, 0, s.offset + s.size / 2);
  }
  throw std::runtime_error("cut_inside_sample: no sample after three quarters");
}

std::int64_t middle_of_media(const CameraRecording& recording) {
  return recording.media_offset + (recording.movie_offset - recording.media_offset) / 2;
}

Bytes overwrite_middle(const CameraRecording& recording, std::size_t count, bool random) {
  Bytes file = cut_movie(recording);
  const auto at = static_cast<std::size_t>(middle_of_media(recording));
  if (at + count > file.size()) throw std::runtime_error("overwrite_middle: media data too short");
  const Bytes damage = random ? pseudo_random_bytes(count, 0x5EED) : Bytes(count, 0);
  std::copy(damage.begin(), damage.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
  return file;
}

}  // namespace vidsalvage::test
