#pragma once
// The --stco and --co64 modes: list every chunk of a chunk-offset table with its
// first seven bytes, from which the signatures of a recorder are read.

#include "io/input_window.h"

namespace vidsalvage {

enum class ChunkTableKind { Stco, Co64 };

// The table number as C's atoi reads it: blanks, a sign, digits; 0 without digits.
// A number beyond the int range gives the nearest end of it.
int parse_table_number(const char* text);

// Returns the exit status: 0 when the table was found, -1 otherwise.
int dump_chunk_offsets(InputWindow& input, ChunkTableKind kind, int table_number);

}  // namespace vidsalvage
