#include "common/text.h"

#include <algorithm>

namespace tavrin {
namespace {

// The code point of the well-formed UTF-8 sequence `bytes`.
char32_t decode(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() == 1) return lead;
  char32_t c = lead & (0x7F >> bytes.size());
  for (size_t i = 1; i < bytes.size(); ++i) c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3F);
  return c;
}

// The length of the sequence its lead byte starts.
size_t sequenceLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

std::string_view trimUnicodeSpace(std::string_view utf8) {
  while (!utf8.empty()) {
    const size_t n = std::min(sequenceLength(static_cast<unsigned char>(utf8.front())), utf8.size());
    if (!isUnicodeWhiteSpace(decode(utf8.substr(0, n)))) break;
    utf8.remove_prefix(n);
  }
  while (!utf8.empty()) {
    size_t start = utf8.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(utf8[start]) & 0xC0) == 0x80) --start;
    if (!isUnicodeWhiteSpace(decode(utf8.substr(start)))) break;
    utf8.remove_suffix(utf8.size() - start);
  }
  return utf8;
}

}  // namespace tavrin
