#pragma once
// What an intact recording holds, read from its sample tables: the reference
// against which the end-to-end tests judge a salvage.

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage::test {

struct Sample {
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

struct Track {
  std::string handler;  // "vide", "soun", ...
  std::vector<Sample> samples;
};

// Every track of the file, in file order, with its samples in decoding order.
std::vector<Track> read_tracks(const Bytes& file);

// The bytes of the given samples, back to back.
Bytes sample_bytes(const Bytes& file, const std::vector<Sample>& samples);

// The recording as a camera leaves it when it dies before writing the index:
// everything in front of the top-level moov box. Empty when there is none.
Bytes cut_moov(const Bytes& intact);

// The NAL units of an Annex B stream (start codes of 3 or 4 bytes removed).
std::vector<Bytes> annexb_units(const Bytes& stream);

// The NAL units of length-prefixed samples (4-byte lengths), in order.
std::vector<Bytes> length_prefixed_units(const Bytes& file, const std::vector<Sample>& samples);

}  // namespace vidsalvage::test
