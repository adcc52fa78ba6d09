#pragma once
// The boxes at the top level of a file, read header by header: the one reader of
// their sizes in all three forms (32-bit, 64-bit after the type, 0 for "to the
// end of the file").

#include <cstdint>

#include "io/input_window.h"

namespace vidsalvage {

struct TopBox {
  char type[5] = {};           // four characters and a terminating zero
  std::int64_t header = 8;     // 16 with a 64-bit size
  std::int64_t size = 0;       // as the header says; size 0 gives the rest of the file
  bool to_the_end = false;     // size 0
  bool runs_past_end = false;  // the size says more than the file holds
};

enum class TopBoxRead { Box, NoBox, ReadFailed };

// The header of the top-level box at `offset`. NoBox when fewer bytes than a
// header are left or the size is smaller than the header.
TopBoxRead read_top_box(InputWindow& input, std::int64_t offset, TopBox& box);

// Where the media data lies: the body of the first top-level `mdat` box.
struct MediaBox {
  std::int64_t body = kNotFound;  // file offset of its first byte; kNotFound: none
  // Behind its last byte; kNotFound when the size is 0 or runs past the end of
  // the file: the media data then ends where the file ends, cut or not.
  std::int64_t end = kNotFound;
};

// Walks the top-level boxes from the start of the file to the first mdat. A
// body of kNotFound when the boxes before it do not chain up to one, or the input
// cannot be read.
MediaBox find_media_box(InputWindow& input);

}  // namespace vidsalvage
