// A GBNF grammar (llama.cpp's grammar language) derived from a record
// schema: the record as a compact JSON object whose fields come in the
// schema's order, required fields always present, optional fields possibly
// left out, strings as JSON strings and lists as JSON arrays. A value the
// grammar accepts is always readable as the record (see records.h).
#pragma once

#include <string>

#include "apple-llm/records.h"

namespace tavrin::llm {

// The grammar's start rule is "root". Throws std::logic_error for a schema
// this derivation does not cover (an optional field before every required
// one).
std::string grammarFor(const RecordSchema& schema);

}  // namespace tavrin::llm
