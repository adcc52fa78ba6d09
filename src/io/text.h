#pragma once
// Keywords and file-name endings are compared without regard to the case of
// ASCII letters.

#include <string_view>

namespace vidsalvage {

bool equals_ignore_case(std::string_view a, std::string_view b);
bool ends_with_ignore_case(std::string_view text, std::string_view ending);

}  // namespace vidsalvage
