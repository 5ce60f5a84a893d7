// Small text helpers shared by the programs.
#pragma once

#include <cctype>
#include <string_view>

namespace tavrin {

// `s` without the white space (in the C locale's sense) at either end; a view into `s`.
inline std::string_view trimSpace(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) s.remove_suffix(1);
  return s;
}

}  // namespace tavrin
