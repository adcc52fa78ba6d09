#include "model/model_recognition.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_set>

#include "codec/bit_reader.h"
#include "codec/hevc_config.h"
#include "codec/hevc_picture_order.h"
#include "codec/klv.h"
#include "codec/pcm_test.h"
#include "codec/slice_data.h"
#include "codec/sps_parser.h"
#include "io/byte_reader.h"

namespace vidsalvage {
namespace {

constexpr std::int64_t kMinSearchBytes = 1024 * 1024;
// A gap is read in one piece from a covered offset: the window holds 16 MB there.
constexpr std::int64_t kMaxSearchBytes = 16 * 1024 * 1024 - 64;
constexpr std::uint32_t kMaxFrameMbs = 139264;  // the largest picture of any H.264 level
constexpr int kTrustDistance = 3;       // bytes beside a varying byte may belong to its counter
constexpr std::int64_t kSizeSlack = 4;  // a sample may grow to this many times the largest seen
constexpr std::int64_t kScanBlockBytes = 1024 * 1024;
constexpr std::int64_t kSliceHeadBytes = 8;  // enough for first_mb_in_slice, type, PPS id
// Enough for an HEVC slice segment header up to its picture order count.
constexpr std::int64_t kHevcSliceHeadBytes = 16;
constexpr std::int64_t kEndBytes =
    8;  // fewer bytes than this at the end of the input are no sample

constexpr std::uint32_t kMinSliceBytes = 4;  // H.264: the NAL header byte and three more
constexpr int kSliceType = 1;
constexpr int kIdrType = 5;
constexpr int kDelimiterType = 9;
constexpr int kHevcDelimiterType = 35;
constexpr std::uint32_t kHevcISlice = 2;
// An HEVC header without its nuh_temporal_id_plus1: type and layer.
constexpr std::size_t kLayerHeadMask = 0xFFF8;
constexpr std::uint8_t kMaxTidPlus1 = 7;
constexpr std::uint16_t kLayerBits = 0x01F8;  // nuh_layer_id in a two-byte header

bool is_slice(const ModelIndex& index, int type) { return is_slice_type(index.codec, type); }
// The slices of every type stand for each other: a short reference may hold one
// IDR picture, or no CRA picture at all.
int kind_of(const ModelIndex& index, int type) { return is_slice(index, type) ? kSliceType : type; }
int delimiter_type(const ModelIndex& index) {
  return index.codec == VideoCodec::Hevc ? kHevcDelimiterType : kDelimiterType;
}
// The bytes of a unit the header checks read: its header and its slice header.
std::int64_t unit_head_bytes(const ModelIndex& index) {
  return index.codec == VideoCodec::Hevc ? 2 + kHevcSliceHeadBytes : 1 + kSliceHeadBytes;
}

// Trust in a class's constant bytes: a byte is trusted when it is constant in the
// class and no byte that varies in any class of the track lies close to it.
void trust_bytes(const ModelTrack& track, ModelIndex::Class& c) {
  std::bitset<kClassBytes> varying;
  for (const PrefixClass& other : track.classes) {
    for (std::size_t i = 0; i < other.bytes.size(); ++i) {
      if (other.fixed[i] == 0) varying.set(i);
    }
  }
  const PrefixClass& pc = *c.source;
  c.trusted.assign(pc.bytes.size(), 0);
  for (std::size_t i = 4; i < pc.bytes.size(); ++i) {
    bool near = false;
    for (int d = -kTrustDistance; d <= kTrustDistance; ++d) {
      const auto j = static_cast<std::ptrdiff_t>(i) + d;
      if (j >= 0 && j < static_cast<std::ptrdiff_t>(kClassBytes) &&
          varying.test(static_cast<std::size_t>(j))) {
        near = true;
      }
    }
    c.trusted[i] = pc.fixed[i] != 0 && !near ? 1 : 0;
  }
}

// The parameter sets of the configuration record: the picture size in macroblocks
// from the first SPS, and the ids of the PPS units slices may refer to.
void read_parameter_sets(const std::vector<std::uint8_t>& avcc, ModelIndex& index) {
  index.max_first_mb = kMaxFrameMbs;
  // Sets that do not parse prove no slice whole, and leave the rest to the checks below.
  if (!read_config_parameter_sets(avcc, index.avc_sets)) index.avc_sets = {};
  ByteReader r(avcc);
  std::uint8_t sps_count = 0, pps_count = 0;
  if (!r.skip(5) || !r.read_u8(sps_count)) return;
  for (int i = 0; i < (sps_count & 0x1F); ++i) {
    std::uint16_t length = 0;
    std::span<const std::uint8_t> sps;
    if (!r.read_u16(length) || !r.read_bytes(length, sps)) return;
    if (i > 0 || sps.empty()) continue;
    SpsInfo info;
    NALUnit nal(sps.data(), static_cast<std::uint32_t>(sps.size()));
    (void)parse_sps(info, nal);  // the size comes before anything that can fail
    const std::uint64_t mbs = std::uint64_t{info.width / 16} * (info.height / 16);
    if (mbs > 0 && mbs <= kMaxFrameMbs) index.max_first_mb = static_cast<std::uint32_t>(mbs);
  }
  if (!r.read_u8(pps_count)) return;
  for (int i = 0; i < pps_count; ++i) {
    std::uint16_t length = 0;
    std::span<const std::uint8_t> pps;
    if (!r.read_u16(length) || !r.read_bytes(length, pps) || pps.size() < 2) return;
    NALUnit nal(pps.data() + 1, static_cast<std::uint32_t>(pps.size() - 1));
    const std::uint32_t id = nal.read_ue();
    if (id < 256) index.pps_ids.set(id);
  }
}

// The SPS and PPS units of an hvcC, which slices must refer to when it holds a PPS.
void read_hevc_parameter_sets(const std::vector<std::uint8_t>& hvcc, ModelIndex& index) {
  HevcConfig config;
  if (!parse_hevc_config(hvcc, config)) return;
  // A set that does not parse leaves the slices unchecked rather than refused.
  if (!read_hevc_config_parameter_sets(config, index.hevc_sets)) {
    index.hevc_sets = {};
    return;
  }
  index.hevc_pps_known = std::any_of(index.hevc_sets.pps.begin(), index.hevc_sets.pps.end(),
                                     [](const auto& pps) { return pps.has_value(); });
}

void index_classes(const StreamModel& model, ModelIndex& index) {
  for (const ModelTrack& track : model.tracks) {
    if (track.role != TrackRole::Other) continue;
    for (const PrefixClass& pc : track.classes) {
      const bool sized = pc.size_rule != SizeRule::None || pc.min_size == pc.max_size;
      if (!sized) continue;
      ModelIndex::Class c;
      c.key = std::uint32_t{pc.prefix[0]} << 24 | std::uint32_t{pc.prefix[1]} << 16 |
              std::uint32_t{pc.prefix[2]} << 8 | pc.prefix[3];
      c.track = track.id;
      c.source = &pc;
      c.link = track.link.width != 0 ? &track.link : nullptr;
      trust_bytes(track, c);
      index.class_heads.set(c.key >> 16);
      index.classes.push_back(std::move(c));
    }
  }
  std::stable_sort(
      index.classes.begin(), index.classes.end(),
      [](const ModelIndex::Class& a, const ModelIndex::Class& b) { return a.key < b.key; });
}

void index_video(const VideoModel& v, ModelIndex& index) {
  index.length_size = v.nal_length_size;
  const std::uint64_t field_max =
      v.nal_length_size >= 4 ? 0xFFFFFFFFu : (std::uint64_t{1} << (8 * v.nal_length_size)) - 1;
  index.max_unit =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(4ull * v.max_sample, field_max));
  index.codec = v.codec;
  if (v.codec == VideoCodec::Hevc) {
    read_hevc_parameter_sets(v.avcc, index);
  } else {
    read_parameter_sets(v.avcc, index);
  }
  index.headers = v.headers;
  for (std::size_t h = 0; h < 256; ++h) {
    if (!v.headers.test(h)) continue;
    const int type = nal_type(v.codec, static_cast<std::uint8_t>(h));
    index.types.set(static_cast<std::size_t>(type));
    if (!is_slice(index, type)) continue;
    for (std::size_t t = 0; t < kNalTypes; ++t) {
      if (is_slice(index, static_cast<int>(t))) index.types.set(t);
    }
  }
  // The temporal id varies from picture to picture, up to the highest the
  // reference used; the layer does not vary.
  index.max_tid_plus1 = v.heads.empty() ? kMaxTidPlus1 : 1;
  for (const std::uint16_t head : v.heads) {
    index.layer_heads.set(head & kLayerHeadMask);
    if ((head & kLayerBits) == 0) {
      index.max_tid_plus1 = std::max(index.max_tid_plus1, static_cast<std::uint8_t>(head & 7));
    }
  }
  for (std::size_t i = 0; i < v.bigrams.size(); ++i) {
    if (!v.bigrams.test(i)) continue;
    const int first = kind_of(index, static_cast<int>(i / kNalTypes));
    const int second = kind_of(index, static_cast<int>(i % kNalTypes));
    index.bigrams.set(static_cast<std::size_t>(first) * kNalTypes +
                      static_cast<std::size_t>(second));
  }
  for (const FirstUnit& f : v.first_units) {
    index.first_headers.set(f.header);
    if (is_slice(index, nal_type(v.codec, f.header))) index.slice_opens_samples = true;
  }
  if (index.slice_opens_samples) {
    for (std::size_t h = 0; h < 256; ++h) {
      const int type = nal_type(v.codec, static_cast<std::uint8_t>(h));
      if ((h & 0x80) != 0 || !is_slice(index, type)) continue;
      // H.264: header bytes the reference used, and non-reference slices; HEVC:
      // every slice type of the base layer.
      const bool hevc_base = v.codec == VideoCodec::Hevc && (h & 1) == 0;
      const bool non_reference = type == kSliceType && (h & 0x60) == 0;
      if (hevc_base || (v.codec == VideoCodec::Avc && (v.headers.test(h) || non_reference))) {
        index.first_headers.set(h);
      }
    }
  }
}

bool slice_header_ok(const ModelIndex& index, int type, std::span<const std::uint8_t> rest) {
  NALUnit nal(rest.data(), static_cast<std::uint32_t>(rest.size()));
  const std::uint32_t first_mb = nal.read_ue();
  const std::uint32_t slice_type = nal.read_ue();
  const std::uint32_t pps_id = nal.read_ue();
  if (first_mb >= index.max_first_mb || slice_type > 9 || pps_id > 255) return false;
  if (index.pps_ids.any() && !index.pps_ids.test(pps_id)) return false;
  // An IDR picture holds I or SI slices only.
  return type != kIdrType || slice_type % 5 == 2 || slice_type % 5 == 4;
}

bool avc_header_ok(const ModelIndex& index, std::uint32_t length,
                   std::span<const std::uint8_t> unit) {
  const std::uint8_t header = unit[0];
  const int type = header & 0x1F;
  if ((header & 0x80) != 0 || !index.types.test(static_cast<std::size_t>(type))) return false;
  if (is_slice(index, type)) {
    // A slice's header and its data take more bytes than this; PCM near silence
    // reads as a stream of such short units.
    if (length < kMinSliceBytes) return false;
    // A slice's header byte is one the reference used, but a reference without
    // B-frames had no non-reference slices: those are slices too.
    const bool non_reference = type == kSliceType && (header & 0x60) == 0;
    if (!index.headers.test(header) && !non_reference) return false;
    return slice_header_ok(index, type, unit.subspan(1));
  }
  if (type == kDelimiterType) {
    // primary_pic_type, then the stop bit.
    return length == 2 && unit.size() >= 2 && (unit[1] & 0x1F) == 0x10;
  }
  return index.headers.test(header);
}

// A slice segment names a PPS of the record and, when it begins a picture, a
// slice type its picture may hold. Without a PPS in the record (hev1 may carry
// its sets in the stream) its first fields are all there is to check.
bool hevc_slice_ok(const ModelIndex& index, std::span<const std::uint8_t> unit) {
  HevcSliceHeader slice;
  switch (read_hevc_slice_header(unit, index.hevc_sets, slice)) {
    case HevcSliceRead::Read:
      // H.265 7.4.7.1: an IRAP picture of the base layer holds I slices only.
      return !slice.first_slice_segment_in_pic_flag || !slice.irap() ||
             slice.slice_type == kHevcISlice;
    case HevcSliceRead::NoParameterSet:
      return !index.hevc_pps_known;
    case HevcSliceRead::NotASlice:
    case HevcSliceRead::Malformed:
      break;
  }
  return false;
}

bool hevc_header_ok(const ModelIndex& index, std::uint32_t length,
                    std::span<const std::uint8_t> unit) {
  HevcNalHeader nal;
  if (!read_hevc_nal_header(unit, nal) || !index.types.test(nal.nal_unit_type)) return false;
  // A unit of a higher layer stands where the reference had one of that layer;
  // its slices refer to sets of its own layer, which are not checked.
  if (nal.nuh_layer_id != 0) {
    return index.layer_heads.test((std::size_t{unit[0]} << 8 | unit[1]) & kLayerHeadMask);
  }
  if (nal.nuh_temporal_id_plus1 > index.max_tid_plus1) return false;
  if (is_slice(index, nal.nal_unit_type)) return hevc_slice_ok(index, unit);
  if (nal.nal_unit_type == kHevcDelimiterType) {
    // pic_type (0-2), then the stop bit.
    return length == 3 && unit.size() >= 3 && (unit[2] & 0x1F) == 0x10 && (unit[2] >> 5) <= 2;
  }
  return index.headers.test(unit[0]);
}

bool header_ok(const ModelIndex& index, std::uint32_t length, std::span<const std::uint8_t> unit) {
  return index.codec == VideoCodec::Hevc ? hevc_header_ok(index, length, unit)
                                         : avc_header_ok(index, length, unit);
}

std::int64_t class_size(InputWindow& input, const ModelIndex::Class& c, std::int64_t offset,
                        std::span<const std::uint8_t> head) {
  const PrefixClass& pc = *c.source;
  const std::int64_t bound = kSizeSlack * std::max<std::int64_t>(pc.max_size, 1);
  switch (pc.size_rule) {
    case SizeRule::Field: {
      const SizeField& f = pc.size_field;
      if (f.offset + f.width > head.size()) return -1;
      const std::int64_t size = static_cast<std::int64_t>(field_value(head, f)) + f.adjust;
      return size >= std::max<std::int64_t>(4, f.offset + f.width) && size <= bound ? size : -1;
    }
    case SizeRule::Klv: {
      const KlvChain chain = follow_klv(input, offset, bound, pc.klv_items);
      return chain.items == pc.klv_items && !chain.read_failed ? chain.bytes : -1;
    }
    case SizeRule::None:
      break;
  }
  return pc.min_size;
}

}  // namespace

ModelIndex build_model_index(const StreamModel& model) {
  ModelIndex index;
  index.model = &model;
  index_classes(model, index);
  index_video(model.video, index);
  const auto index_audio = [&](const AudioModel& a) {
    if (a.track == 0) return;
    if (a.role == TrackRole::Pcm) {
      const PcmLayout layout{a.bits, a.channels, a.little_endian, a.float_samples,
                             a.signed_samples};
      index.pcm.push_back(layout);
      index.pcm_test_bytes = std::max(index.pcm_test_bytes, pcm_test_bytes(layout));
    }
    if (a.role != TrackRole::Aac) return;
    for (const auto& [start, count] : a.starts2) {
      index.aac_starts.set(start);
      index.aac_first_bytes.set(start >> 8);
    }
  };
  index_audio(model.audio);
  for (const AudioModel& a : model.more_audio) index_audio(a);
  for (std::size_t h = 0; h < index.class_heads.size(); ++h) {
    if (index.class_heads[h]) index.lead_bytes.set(h >> 8);
  }
  const std::uint32_t top_shift = 8 * (index.length_size - 1);
  for (std::uint32_t b = 0; b < 256 && b <= index.max_unit >> top_shift; ++b) {
    index.lead_bytes.set(b);
  }
  const std::int64_t gap = model.video.max_gap > static_cast<std::uint64_t>(kMaxSearchBytes)
                               ? kMaxSearchBytes
                               : static_cast<std::int64_t>(model.video.max_gap);
  index.search_limit = std::clamp<std::int64_t>(4 * gap, kMinSearchBytes, kMaxSearchBytes);
  if (model.audio.track != 0) index.audio_gap = std::min(gap + kEndBytes, kMinSearchBytes);
  return index;
}

std::uint32_t unit_length(std::span<const std::uint8_t> field, std::uint32_t length_size) {
  return static_cast<std::uint32_t>(field_value(field, {0, length_size, false, 0}));
}

std::int64_t announced_size(std::span<const std::uint8_t> sample_head, const SizeField& link) {
  if (link.offset + link.width > sample_head.size()) return -1;
  const std::int64_t size = static_cast<std::int64_t>(field_value(sample_head, link)) + link.adjust;
  return size >= 0 ? size : -1;
}

bool class_at(InputWindow& input, const ModelIndex& index, std::int64_t offset, ClassHit& hit) {
  if (offset < 0 || input.size - offset < 4 || index.classes.empty()) return false;
  const std::span<const std::uint8_t> head =
      read_input(input, offset, std::min<std::int64_t>(kClassBytes, input.size - offset));
  if (head.size() < 4) return false;
  const std::uint32_t key = load_be32(head);
  if (!index.class_heads.test(key >> 16)) return false;
  const auto range = std::equal_range(
      index.classes.begin(), index.classes.end(), ModelIndex::Class{key, 0, nullptr, {}, nullptr},
      [](const ModelIndex::Class& a, const ModelIndex::Class& b) { return a.key < b.key; });
  for (auto c = range.first; c != range.second; ++c) {
    const PrefixClass& pc = *c->source;
    bool same = true;
    for (std::size_t i = 4; i < pc.bytes.size() && same; ++i) {
      same = c->trusted[i] == 0 || (i < head.size() && head[i] == pc.bytes[i]);
    }
    if (!same) continue;
    const std::int64_t size = class_size(input, *c, offset, head);
    if (size < 0) continue;
    hit.cls = &*c;
    hit.size = size;
    hit.announced = -1;
    if (c->link != nullptr && c->link->offset + c->link->width <= size) {
      hit.announced = announced_size(head, *c->link);
    }
    return true;
  }
  return false;
}

UnitCheck unit_at(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                  int previous_type, Unit& unit) {
  const std::uint32_t ls = index.length_size;
  if (input.size - offset <= ls) return UnitCheck::PastEnd;
  const std::span<const std::uint8_t> head = read_input(
      input, offset, std::min<std::int64_t>(ls + unit_head_bytes(index), input.size - offset));
  if (head.empty()) return UnitCheck::ReadFailed;
  const std::uint32_t length = unit_length(head, ls);
  if (length == 0 || length > index.max_unit) return UnitCheck::NotVideo;
  const std::span<const std::uint8_t> body =
      head.subspan(ls, std::min<std::size_t>(head.size() - ls, length));
  if (!header_ok(index, length, body)) return UnitCheck::NotVideo;
  const int type = nal_type(index.codec, body[0]);
  if (previous_type >= 0 &&
      !index.bigrams.test(static_cast<std::size_t>(kind_of(index, previous_type)) * kNalTypes +
                          static_cast<std::size_t>(kind_of(index, type)))) {
    return UnitCheck::NotVideo;
  }
  unit.length = length;
  unit.type = type;
  if (length > input.size - offset - ls) return UnitCheck::PastEnd;
  return UnitCheck::Video;
}

bool opens_sample(InputWindow& input, const ModelIndex& index, std::int64_t offset) {
  const std::uint32_t ls = index.length_size;
  if (input.size - offset < ls + 2) return false;
  const std::span<const std::uint8_t> head = read_input(input, offset, ls + 2);
  if (head.empty()) return false;
  const std::uint32_t length = unit_length(head, ls);
  const std::uint8_t header = head[ls];
  const std::uint8_t second = head[ls + 1];
  if (index.slice_opens_samples && is_slice(index, nal_type(index.codec, header))) return true;
  for (const FirstUnit& f : index.model->video.first_units) {
    if (f.header == header && (f.second < 0 || f.second == second) &&
        (f.length == 0 || f.length == length)) {
      return true;
    }
  }
  return false;
}

// The zero bytes that end the `length` bytes at `offset`, counted up to one past
// kMaxTrailingZeros; -1 when the read fails.
std::int64_t trailing_zeros(InputWindow& input, std::int64_t offset, std::int64_t length) {
  const std::int64_t tail = std::min(length, kMaxTrailingZeros + 1);
  const std::span<const std::uint8_t> bytes = read_input(input, offset + length - tail, tail);
  if (bytes.empty()) return -1;
  std::int64_t zeros = 0;
  while (zeros < tail && bytes[bytes.size() - 1 - static_cast<std::size_t>(zeros)] == 0) ++zeros;
  return zeros;
}

UnitBytes check_unit_bytes(InputWindow& input, std::int64_t offset, std::int64_t length) {
  if (length <= 0) return UnitBytes::Whole;
  const std::int64_t zeros = trailing_zeros(input, offset, length);
  if (zeros < 0) return UnitBytes::ReadFailed;
  // A unit of nothing but zeros, or with more of them at its end than padding takes.
  if (zeros == length || zeros > kMaxTrailingZeros) return UnitBytes::Damaged;
  // Pieces overlap by two bytes, so that a sequence across their border is seen.
  std::int64_t at = offset;
  const std::int64_t end = offset + length - zeros;
  while (at < end) {
    const std::int64_t piece = std::min(end - at, kScanBlockBytes);
    const std::span<const std::uint8_t> bytes = read_input(input, at, piece);
    if (bytes.empty()) return UnitBytes::ReadFailed;
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const last = p + bytes.size();
    // Bounded by `last`: memchr looks no further, and a match reads two more
    // bytes only where they lie before it.
    while ((p = static_cast<const std::uint8_t*>(
                std::memchr(p, 0, static_cast<std::size_t>(last - p)))) != nullptr) {
      if (p + 2 < last && p[1] == 0 && p[2] <= 2) return UnitBytes::Damaged;
      ++p;
    }
    if (at + piece == end) return UnitBytes::Whole;
    at += std::max<std::int64_t>(piece - 2, 1);
  }
  return UnitBytes::Whole;
}

SliceProof slice_ends_whole(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                            std::uint32_t length) {
  if (index.codec != VideoCodec::Avc || length < 2) return SliceProof::Unproven;
  const InputRead read = read_at(input, offset, length);
  if (read.status == ReadStatus::Failed) return SliceProof::ReadFailed;
  if (read.status != ReadStatus::Found) return SliceProof::Unproven;
  const int type = nal_type(VideoCodec::Avc, read.bytes[0]);
  if (type != 1 && type != 5) return SliceProof::Unproven;
  return parse_slice_data(read.bytes, index.avc_sets).end == SliceDataEnd::Clean
             ? SliceProof::Proven
             : SliceProof::Unproven;
}

namespace {

int bit_width(std::uint64_t value) { return static_cast<int>(std::bit_width(value)); }

// A unit's length under max_unit, or a delimiter's exact length, and its header
// byte among those the reference used (and the non-reference slice's).
int unit_bits(const ModelIndex& index, int type) {
  const int field = 8 * static_cast<int>(index.length_size);
  const int length = type == delimiter_type(index) ? field : field - bit_width(index.max_unit);
  const int header = 8 - bit_width(index.headers.count() + 1);
  return std::max(0, length) + std::max(0, header);
}

// The four prefix bytes and the trusted bytes after them, less what telling the
// classes apart takes.
int class_bits(const ModelIndex& index, const ModelIndex::Class& c) {
  const auto trusted = std::count(c.trusted.begin(), c.trusted.end(), std::uint8_t{1});
  const int bits = 8 * (4 + static_cast<int>(trusted)) - bit_width(index.classes.size());
  return std::max(0, bits);
}

// follow_chain, noting where each unit begins.
Chain follow_units(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                   int previous_type, std::vector<std::int64_t>* boundaries) {
  Chain chain;
  chain.end = offset;
  int previous = previous_type;
  while (true) {
    ClassHit hit;
    if (chain.units > 0 && class_at(input, index, chain.end, hit)) {
      chain.stop = ChainEnd::NotVideo;
      return chain;
    }
    Unit unit;
    switch (unit_at(input, index, chain.end, previous, unit)) {
      case UnitCheck::Video:
        break;
      case UnitCheck::NotVideo:
        chain.stop = ChainEnd::NotVideo;
        return chain;
      case UnitCheck::PastEnd:
        chain.stop = ChainEnd::PastEnd;
        if (unit.type >= 0) {
          chain.cut = true;
          chain.bits += unit_bits(index, unit.type);
        }
        return chain;
      case UnitCheck::ReadFailed:
        chain.stop = ChainEnd::ReadFailed;
        return chain;
    }
    if (boundaries != nullptr) boundaries->push_back(chain.end);
    ++chain.units;
    chain.end += index.length_size + unit.length;
    chain.last_type = unit.type;
    chain.has_slice = chain.has_slice || is_slice(index, unit.type);
    chain.bits += unit_bits(index, unit.type);
    previous = unit.type;
  }
}

}  // namespace

Chain follow_chain(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                   int previous_type) {
  return follow_units(input, index, offset, previous_type, nullptr);
}

namespace {

// The bytes at `offset` the PCM tests read, fewer near the end of the input.
std::span<const std::uint8_t> pcm_test_head(InputWindow& input, const ModelIndex& index,
                                            std::int64_t offset) {
  const auto want = static_cast<std::int64_t>(index.pcm_test_bytes);
  return read_input(input, offset, std::min(want, input.size - offset));
}

// Whether `head` reads like the PCM of one of the model's tracks.
bool pcm_begins(const ModelIndex& index, std::span<const std::uint8_t> head) {
  return std::any_of(index.pcm.begin(), index.pcm.end(),
                     [&](const PcmLayout& layout) { return looks_like_pcm(head, layout); });
}

}  // namespace

bool recognisable_at(InputWindow& input, const ModelIndex& index, std::int64_t offset) {
  if (input.size - offset < kEndBytes) return true;
  ClassHit hit;
  if (class_at(input, index, offset, hit)) return true;
  const std::span<const std::uint8_t> head = pcm_test_head(input, index, offset);
  if (head.empty()) return false;
  return index.aac_first_bytes.test(head[0]) || pcm_begins(index, head);
}

namespace {

// The audio a class announces lies between it and the next recognisable sample:
// its bytes are not checked, but its size is.
bool announces_audio(const ModelIndex& index, const ClassHit& hit) {
  if (hit.announced <= 0) return false;
  const ModelTrack* next = find_track(*index.model, hit.cls->source->next_track);
  return next != nullptr && (next->role == TrackRole::Aac || next->role == TrackRole::Pcm);
}

namespace {

// Whether audio of one of the model's kinds may begin at `offset`.
bool audio_begins_at(InputWindow& input, const ModelIndex& index, std::int64_t offset) {
  const std::span<const std::uint8_t> head = pcm_test_head(input, index, offset);
  if (head.empty()) return false;
  return pcm_begins(index, head) || index.aac_first_bytes.test(head[0]);
}

// What a search for the next chain has seen: no chain begins in (from, to), and
// one begins at `to` unless that is the end of what was searched. One search's
// runs reuse it, so that the bytes between chains are looked at once.
struct ChainScan {
  std::int64_t from = -1;
  std::int64_t to = -1;
  bool found = false;
};

// The nearest offset within `index.audio_gap` after `offset` where a chain of
// video units with a slice begins, or kNotFound: where a recording interleaves
// its video with audio, the next video sample lies that close.
std::int64_t video_after_audio(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                               ChainScan* scan) {
  if (index.audio_gap <= 0 || !audio_begins_at(input, index, offset)) return kNotFound;
  const std::uint32_t ls = index.length_size;
  const std::int64_t limit = std::min(input.size - ls - 1, offset + index.audio_gap);
  std::int64_t q = offset + 1;
  if (scan != nullptr && scan->from <= offset && offset < scan->to) {
    if (scan->found) return scan->to < limit ? scan->to : kNotFound;
    if (scan->to >= limit) return kNotFound;
    q = scan->to;
  } else if (scan != nullptr) {
    scan->from = offset;
  }
  const auto seen = [&](std::int64_t to, bool found) {
    if (scan != nullptr) *scan = {scan->from, to, found};
    return found ? to : kNotFound;
  };
  for (; q < limit; ++q) {
    const std::span<const std::uint8_t> head = read_input(input, q, ls + 1);
    if (head.empty()) return kNotFound;
    const std::uint32_t length = unit_length(head, ls);
    if (length == 0 || length > index.max_unit || !index.first_headers.test(head[ls])) continue;
    if (!opens_sample(input, index, q)) continue;
    const Chain chain = follow_units(input, index, q, -1, nullptr);
    if (chain.units > 0 && chain.has_slice) return seen(q, true);
  }
  return seen(limit, false);
}

}  // namespace

Evidence follow_evidence(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                         int enough, std::vector<std::int64_t>* boundaries,
                         ChainScan* scan = nullptr) {
  Evidence e;
  std::int64_t p = offset;
  int previous = -1;
  while (e.bits < enough) {
    if (input.size - p < kEndBytes) {
      e.reaches_end = true;
      return e;
    }
    ClassHit hit;
    if (class_at(input, index, p, hit)) {
      e.bits += class_bits(index, *hit.cls);
      const std::int64_t announced = announces_audio(index, hit) ? hit.announced : 0;
      if (hit.size + announced > input.size - p) {
        e.reaches_end = true;
        return e;
      }
      p += hit.size + announced;
      previous = -1;
      continue;
    }
    const Chain chain = follow_units(input, index, p, previous, boundaries);
    boundaries = nullptr;  // only the first chain's units share its end
    e.bits += chain.bits;
    e.read_failed = chain.stop == ChainEnd::ReadFailed;
    e.reaches_end = chain.stop == ChainEnd::PastEnd;
    if (chain.units == 0 || chain.stop != ChainEnd::NotVideo) return e;
    p = chain.end;
    previous = chain.last_type;
    if (chain.has_slice && !class_at(input, index, p, hit)) {
      // A recording without other tracks between its video and audio: the run
      // goes on at the next video sample past the audio.
      const std::int64_t next = video_after_audio(input, index, p, scan);
      if (next == kNotFound) return e;
      // The next sample was free to begin anywhere in the gap: that choice is
      // worth as many bits as the gap's length takes.
      e.bits -= static_cast<int>(std::bit_width(static_cast<std::uint64_t>(next - p)));
      p = next;
      previous = -1;
    }
  }
  return e;
}

// Runs `try_at` on every offset from `from` up to `limit` whose first bytes may
// begin another track's sample or a video unit that opens a sample, until it
// returns something other than FoundKind::Nothing.
template <typename TryAt>
Found scan_candidates(InputWindow& input, const ModelIndex& index, std::int64_t from,
                      std::int64_t limit, TryAt&& try_at) {
  const std::uint32_t ls = index.length_size;
  std::int64_t p = from;
  while (p < limit) {
    const std::span<const std::uint8_t> block =
        read_input(input, p, std::min<std::int64_t>(kScanBlockBytes + 8, input.size - p));
    if (block.empty()) return {FoundKind::ReadFailed, kNotFound};
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::int64_t>(kScanBlockBytes, limit - p));
    std::size_t i = 0;
    bool moved = false;
    for (; i < n && i < block.size() && !moved; ++i) {
      if (!index.lead_bytes[block[i]]) continue;
      if (block[i] == 0 && !index.class_heads[0]) {
        // In a run of zeros no length field is whole before its last `ls` bytes,
        // and no class begins 00 00: go on from there.
        std::size_t j = i + 1;
        while (j < block.size() && block[j] == 0) ++j;
        if (j - i > ls) {
          i = j - ls - 1;
          continue;
        }
      }
      const bool whole = i + ls < block.size();
      const bool maybe_class = i + 1 >= block.size() ||
                               index.class_heads.test(std::size_t{block[i]} << 8 | block[i + 1]);
      bool maybe_video = true;
      if (whole) {
        const std::uint32_t length = unit_length(block.subspan(i), ls);
        maybe_video =
            length != 0 && length <= index.max_unit && index.first_headers.test(block[i + ls]);
      }
      if (!maybe_class && !maybe_video) continue;
      const std::int64_t q = p + static_cast<std::int64_t>(i);
      const Found found = try_at(q, maybe_class, maybe_video);
      if (found.kind != FoundKind::Nothing) return found;
      // The checks may have moved the window: take the block again after q.
      p = q + 1;
      moved = true;
    }
    if (!moved) p += static_cast<std::int64_t>(i);
  }
  return {FoundKind::Nothing, kNotFound};
}

}  // namespace

Evidence evidence_at(InputWindow& input, const ModelIndex& index, std::int64_t offset, int enough) {
  return follow_evidence(input, index, offset, enough, nullptr);
}

Found find_resumption(InputWindow& input, const ModelIndex& index, std::int64_t from,
                      int min_bits) {
  // Unit boundaries of runs already refused: a run from any of them is a part of
  // the refused one, worth less.
  std::unordered_set<std::int64_t> refused;
  std::vector<std::int64_t> boundaries;
  ChainScan scan;
  const auto try_at = [&](std::int64_t q, bool maybe_class, bool maybe_video) -> Found {
    ClassHit hit;
    const bool is_class = maybe_class && class_at(input, index, q, hit);
    if (!is_class && !(maybe_video && refused.count(q) == 0 && opens_sample(input, index, q))) {
      return {};
    }
    boundaries.clear();
    const Evidence e = follow_evidence(input, index, q, min_bits, &boundaries, &scan);
    if (e.read_failed) return {FoundKind::ReadFailed, kNotFound};
    if (e.bits >= min_bits || (e.reaches_end && e.bits >= kResumeAtEndBits)) {
      return {is_class ? FoundKind::Class : FoundKind::Video, q};
    }
    if (!is_class) refused.insert(boundaries.begin(), boundaries.end());
    return {};
  };
  return scan_candidates(input, index, from, input.size, try_at);
}

FoundKind start_at(InputWindow& input, const ModelIndex& index, std::int64_t offset) {
  ClassHit hit;
  if (class_at(input, index, offset, hit)) return FoundKind::Class;
  if (!opens_sample(input, index, offset)) return FoundKind::Nothing;
  const Chain chain = follow_units(input, index, offset, -1, nullptr);
  if (chain.stop == ChainEnd::ReadFailed) return FoundKind::ReadFailed;
  const bool whole = chain.units > 0 && chain.has_slice &&
                     (chain.stop == ChainEnd::PastEnd || recognisable_at(input, index, chain.end));
  return whole || chain.cut ? FoundKind::Video : FoundKind::Nothing;
}

Found find_recognised_start(InputWindow& input, const ModelIndex& index, std::int64_t from) {
  const std::int64_t limit = std::min(input.size, from + index.search_limit);
  // Unit boundaries of chains already refused: a chain from any of them ends where
  // the refused one ended, without a slice it lacked.
  std::unordered_set<std::int64_t> refused;
  std::vector<std::int64_t> boundaries;
  const auto try_at = [&](std::int64_t q, bool maybe_class, bool maybe_video) -> Found {
    ClassHit hit;
    if (maybe_class && class_at(input, index, q, hit)) return {FoundKind::Class, q};
    if (!maybe_video || refused.count(q) != 0 || !opens_sample(input, index, q)) return {};
    boundaries.clear();
    const Chain chain = follow_units(input, index, q, -1, &boundaries);
    if (chain.stop == ChainEnd::ReadFailed) return {FoundKind::ReadFailed, kNotFound};
    if (chain.units > 0 && chain.has_slice &&
        (chain.stop == ChainEnd::PastEnd || recognisable_at(input, index, chain.end))) {
      return {FoundKind::Video, q};
    }
    // A sample the recording was cut in: what lies before it is no part of it.
    if (chain.cut) return {FoundKind::Video, q};
    refused.insert(boundaries.begin(), boundaries.end());
    return {};
  };
  return scan_candidates(input, index, from, limit, try_at);
}

}  // namespace vidsalvage
