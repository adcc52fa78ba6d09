#pragma once
// Keywords and file-name endings are compared without regard to the case of
// ASCII letters.

#include <string>
#include <string_view>

namespace vidsalvage {

bool equals_ignore_case(std::string_view a, std::string_view b);
bool ends_with_ignore_case(std::string_view text, std::string_view ending);

// `text` up to its first zero byte, every byte outside printable ASCII as '?':
// a file name or a four-character code fit for a model file or a line of output.
std::string printable(std::string_view text);

}  // namespace vidsalvage
