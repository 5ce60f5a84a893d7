// A GBNF grammar (llama.cpp's grammar language) derived from a record
// schema: the record as a compact JSON object whose fields come in the
// schema's order, required fields always present, optional fields possibly
// left out, strings as JSON strings and lists as JSON arrays. A value the
// grammar accepts is always readable as the record (see records.h).
//
// The grammar speaks in code points; which bytes may spell them is the
// business of Utf8Prefix, which generation applies beside the grammar.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "apple-llm/records.h"

namespace tavrin::llm {

// The grammar's start rule is "root". Throws std::logic_error for a schema
// this derivation does not cover (an optional field before every required
// one).
std::string grammarFor(const RecordSchema& schema);

// The bytes of a text that is being generated, as far as well-formed UTF-8
// is concerned: accepts only bytes that keep the text a prefix of
// well-formed UTF-8 (no overlong forms, surrogates, values above U+10FFFF,
// stray continuation bytes or lead bytes C0, C1, F5-FF).
class Utf8Prefix {
 public:
  // Whether `bytes` may follow the text so far.
  bool accepts(std::string_view bytes) const;
  // Appends `bytes`, which accepts() allowed.
  void append(std::string_view bytes);
  // Whether the text ends on a whole character.
  bool complete() const { return remaining_ == 0; }

 private:
  bool step(unsigned char byte);

  uint8_t remaining_ = 0;  // continuation bytes still due
  uint8_t low_ = 0x80;     // range of the next continuation byte
  uint8_t high_ = 0xBF;
};

}  // namespace tavrin::llm
