#include "io/text.h"

namespace vidsalvage {
namespace {
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool ends_with_ignore_case(std::string_view text, std::string_view ending) {
  return text.size() >= ending.size() &&
         equals_ignore_case(text.substr(text.size() - ending.size()), ending);
}

std::string printable(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (ch == 0) break;  // a code padded with zeros ends at them
    const auto c = static_cast<unsigned char>(ch);
    out += c >= 0x20 && c < 0x7F ? ch : '?';
  }
  return out;
}

}  // namespace vidsalvage
