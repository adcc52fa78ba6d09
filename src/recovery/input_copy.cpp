#include "recovery/input_copy.h"

namespace vidsalvage {

CopyOutcome copy_input(InputWindow& input, std::int64_t offset, std::int64_t length,
                       OutputFile& out) {
  return copy_to_output(input, offset, length, out);
}

}  // namespace vidsalvage
