#pragma once
// The H.264 CABAC arithmetic decoding engine (9.3.1.2, 9.3.3.2): decisions with
// a context variable, bypass bins and the terminating bin.

#include <cstdint>

#include "codec/rbsp_bits.h"

namespace vidsalvage {

class CabacDecoder {
 public:
  explicit CabacDecoder(RbspBits& bits) : bits_(bits) {}

  // Reads the nine bits of codIOffset. False when they are 510 or 511, which
  // no encoder writes.
  [[nodiscard]] bool start();
  // DecodeDecision with the context variable `context` (see cabac_contexts.h).
  std::uint32_t decision(std::uint8_t& context);
  std::uint32_t bypass();
  // DecodeTerminate: 1 ends the slice or precedes the samples of an I_PCM
  // macroblock, and the reader then stands just past the last bit the encoder
  // flushed.
  std::uint32_t terminate();

  std::uint32_t range() const { return range_; }
  std::uint32_t offset() const { return offset_; }

 private:
  void renormalize();

  RbspBits& bits_;
  std::uint32_t range_ = 510;
  std::uint32_t offset_ = 0;
};

}  // namespace vidsalvage
