#pragma once
// What the model of a recorder lets the recovery recognise in its media data: a
// sample of another track by its first bytes, a chain of video units, and the
// nearest place where either begins.

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "codec/hevc_parameter_sets.h"
#include "codec/pcm_test.h"
#include "codec/slice_header.h"
#include "io/input_window.h"
#include "model/stream_model.h"

namespace vidsalvage {

// The model turned into the tables the walk consults at every position.
struct ModelIndex {
  struct Class {
    std::uint32_t key = 0;  // the four prefix bytes, big-endian
    std::uint32_t track = 0;
    const PrefixClass* source = nullptr;
    // Where the bytes after the prefix must hold their learned value. A byte that
    // stayed constant only because the reference was short (the high byte of a
    // counter, next to one that varied) is not trusted.
    std::vector<std::uint8_t> trusted;
    const SizeField* link = nullptr;  // the track's link, when it has one
  };
  const StreamModel* model = nullptr;
  std::vector<Class> classes;      // sorted by key
  std::bitset<65536> class_heads;  // the first two bytes of every class
  // Video.
  VideoCodec codec = VideoCodec::Avc;
  std::uint32_t length_size = 4;
  std::uint32_t max_unit = 0;      // four times the largest reference sample
  std::uint32_t max_first_mb = 0;  // H.264: macroblocks in a picture
  std::bitset<256> pps_ids;        // H.264: of the configuration record's PPS units
  AvcParameterSets avc_sets;       // H.264: the record's SPS and PPS, when they parse
  HevcParameterSets hevc_sets;     // HEVC: the record's SPS and PPS units
  bool hevc_pps_known = false;     // HEVC: the record holds a PPS, which slices must name
  std::bitset<kNalTypes> types;    // NAL types used; slices stand for each other
  std::bitset<256> headers;        // NAL header bytes used
  std::bitset<65536> layer_heads;  // HEVC: the headers used, their temporal id cleared
  std::uint8_t max_tid_plus1 = 7;  // HEVC: the highest nuh_temporal_id_plus1 of the base layer
  std::bitset<256> first_headers;  // header bytes that may open a sample
  std::bitset<kNalTypes * kNalTypes> bigrams;  // with the slices of every type counted as one
  bool slice_opens_samples = false;
  // Audio: first bytes of AAC frames.
  std::bitset<256> aac_first_bytes;
  std::bitset<65536> aac_starts;
  // Audio: the PCM formats of the tracks, and the bytes their test reads.
  std::vector<PcmLayout> pcm;
  std::size_t pcm_test_bytes = kPcmTestBytes;
  // How far a search for the next recognisable start reaches.
  std::int64_t search_limit = 0;
  // The most bytes of audio the reference held between two video samples; the
  // evidence for a resumption may step over that much audio to the next sample.
  std::int64_t audio_gap = 0;
  // The bytes a search candidate may begin with: a class's first byte, or the
  // high byte of a unit length no larger than max_unit.
  std::bitset<256> lead_bytes;
};

ModelIndex build_model_index(const StreamModel& model);

// A sample of another track at a position.
struct ClassHit {
  const ModelIndex::Class* cls = nullptr;
  std::int64_t size = 0;
  // The size this sample announces for the sample after it; -1 when none.
  std::int64_t announced = -1;
};

// True when a learned class of another track begins at `offset` and its size can
// be told: by its own-size rule, else by its constant size.
bool class_at(InputWindow& input, const ModelIndex& index, std::int64_t offset, ClassHit& hit);

// The announcement of a sample of a link track: the field's value, or -1 when the
// bytes do not hold it.
std::int64_t announced_size(std::span<const std::uint8_t> sample_head, const SizeField& link);

// The length in a unit's length field of `length_size` bytes, which `field` holds.
std::uint32_t unit_length(std::span<const std::uint8_t> field, std::uint32_t length_size);

enum class UnitCheck { Video, NotVideo, PastEnd, ReadFailed };

struct Unit {
  std::uint32_t length = 0;  // without the length field
  int type = -1;
};

// Whether the bytes at `offset` are a video unit of a kind the reference used,
// with a well-formed header; `previous_type` is the type of the unit before it in
// the stream (-1: none), whose pair with this one must be one the reference had.
// PastEnd with `unit` filled: a unit that passed these checks runs past the end;
// with unit.type -1: too few bytes are left to check one.
UnitCheck unit_at(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                  int previous_type, Unit& unit);

// Whether a unit may open a video sample: a kind of first unit the reference had.
bool opens_sample(InputWindow& input, const ModelIndex& index, std::int64_t offset);

enum class UnitBytes { Whole, Damaged, ReadFailed };

// Whether the `length` bytes of a unit at `offset` (its length field excluded)
// can be a NAL unit: no 00 00 00, 00 01 or 00 02 inside it, which emulation
// prevention rules out. Zeros and another stream's start codes written over a
// unit show so; random bytes seldom do. A few zero bytes may end it: some
// phones pad their slices so, after the stop bit (kMaxTrailingZeros).
inline constexpr std::int64_t kMaxTrailingZeros = 16;
UnitBytes check_unit_bytes(InputWindow& input, std::int64_t offset, std::int64_t length);

enum class SliceProof { Proven, Unproven, ReadFailed };

// Whether the H.264 slice unit at `offset` (its length field excluded) is proven
// to end where its length says: its slice data, read under the record's
// parameter sets, ends exactly at the unit's stop bit. Damage found right behind
// such a unit cannot have begun inside it. Other units are never proven.
SliceProof slice_ends_whole(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                            std::uint32_t length);

enum class ChainEnd { NotVideo, PastEnd, ReadFailed };

struct Chain {
  std::int64_t end = 0;  // behind the last unit
  int units = 0;
  int last_type = -1;
  bool has_slice = false;
  int bits = 0;                        // what the units' checks are worth: see Evidence
  ChainEnd stop = ChainEnd::NotVideo;  // what follows the last unit
  bool cut = false;  // PastEnd: a unit that passed the checks runs past the end, in `bits`
};

// Follows video units from `offset` while they chain, stopping before a place
// where a class of another track begins.
Chain follow_chain(InputWindow& input, const ModelIndex& index, std::int64_t offset,
                   int previous_type);

// Whether something the model knows begins at `offset`: another track's sample,
// the start of an AAC frame, PCM samples, or the end of the input.
bool recognisable_at(InputWindow& input, const ModelIndex& index, std::int64_t offset);

enum class FoundKind { Nothing, Class, Video, ReadFailed };

struct Found {
  FoundKind kind = FoundKind::Nothing;
  std::int64_t offset = kNotFound;
};

// How much a run of samples at a place tells: each check a sample passes is worth
// the bits of chance that random bytes pass it (a 4-byte length under a 4 MB limit
// is worth 10 bits, a class's four prefix bytes 32), so random bytes pass checks
// worth b bits at a place with a probability of about 2^-b.
struct Evidence {
  int bits = 0;
  bool reaches_end = false;  // the samples run up to the end of the input
  bool read_failed = false;
};

// Enough bits to resume a walk at a place found by searching without a limit: the
// chance that random bytes give a false start anywhere in 2 GiB is about 2^-25.
inline constexpr int kResumeBits = 56;
// Enough for a run of samples that ends with the input: a few samples are left.
inline constexpr int kResumeAtEndBits = 24;

// Follows the samples the model accepts from `offset` on (another track's samples,
// the audio they announce, video units) until their checks are worth `enough` bits
// or something else begins.
Evidence evidence_at(InputWindow& input, const ModelIndex& index, std::int64_t offset, int enough);

// The nearest offset from `from` on, however far, at which samples worth
// `min_bits` begin, or samples worth kResumeAtEndBits that run up to the end of
// the input. Nothing when there is none; ReadFailed when the input cannot be read.
Found find_resumption(InputWindow& input, const ModelIndex& index, std::int64_t from,
                      int min_bits = kResumeBits);

// Whether another track's sample or a video sample begins at `offset`, as
// find_recognised_start below takes it: Class, Video, Nothing or ReadFailed.
FoundKind start_at(InputWindow& input, const ModelIndex& index, std::int64_t offset);

// The nearest offset from `from` on, less than `index.search_limit` past it, at
// which another track's sample or a video sample begins: a chain of units with a
// slice among them that opens with a first unit the reference had and ends where
// something recognisable begins, or a chain cut by the end of the input.
Found find_recognised_start(InputWindow& input, const ModelIndex& index, std::int64_t from);

}  // namespace vidsalvage
