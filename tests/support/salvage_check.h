#pragma once
// Judging a salvage against the intact recording: the units and frames it holds,
// and how many of the originals came back byte for byte, in order.

#include <cstddef>
#include <vector>

#include "support/bytes.h"

namespace vidsalvage::test {

// The payloads of an ADTS stream, each frame's length taken from its header.
std::vector<Bytes> adts_payloads(const Bytes& stream);

// How many of `expected` occur in `found` in the same order, each found item
// standing for at most one expected item.
std::size_t matched_in_order(const std::vector<Bytes>& expected, const std::vector<Bytes>& found);

// How many of `chunks` occur in `data` one after another, in order.
std::size_t chunks_in_order(const std::vector<Bytes>& chunks, const Bytes& data);

}  // namespace vidsalvage::test
