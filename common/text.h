// Small text helpers shared by the programs.
#pragma once

#include <cctype>
#include <string_view>

namespace tavrin {

// `s` without the white space (in the C locale's sense) at either end; a
// view into `s`. For the ASCII texts of protocols and configuration files.
inline std::string_view trimSpace(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) s.remove_suffix(1);
  return s;
}

// Whether `c` has Unicode's White_Space property (what Swift's
// whitespacesAndNewlines holds): the C locale's white space, U+0085 NEXT
// LINE, the no-break spaces, the typographic spaces, the line and paragraph
// separators and the ideographic space.
inline bool isUnicodeWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// `utf8` (well-formed UTF-8: see sanitizeUtf8 in json.h) without Unicode
// white space at either end; a view into `utf8`. For the texts people read.
std::string_view trimUnicodeSpace(std::string_view utf8);

}  // namespace tavrin
