#include "common/json.h"

#include <cassert>
#include <charconv>
#include <cmath>

namespace tavrin {

JsonEncodingError::JsonEncodingError()
    : std::runtime_error("The data couldn\u2019t be written because it isn\u2019t in the correct format.") {}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence starting at `s[i]`, or 0 when the
// bytes there are ill-formed. `*consumed` receives the length of the maximal
// ill-formed subpart to skip in that case (at least 1).
size_t validSequenceLength(std::string_view s, size_t i, size_t* consumed) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  *consumed = 1;
  if (lead < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char c = byte(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) return 0;
    *consumed = k + 1;
  }
  return need + 1;
}

}  // namespace

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t consumed;
    const size_t len = validSequenceLength(bytes, i, &consumed);
    if (len > 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out.append(kReplacement);
      i += consumed;
    }
  }
  return out;
}

void appendJsonString(std::string& out, std::string_view text, SlashStyle style) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      size_t consumed;
      const size_t len = validSequenceLength(text, i, &consumed);
      if (len > 0) {
        out.append(text.substr(i, len));
        i += len;
      } else {
        out.append(kReplacement);
        i += consumed;
      }
      continue;
    }
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '/':
        if (style == SlashStyle::kEscaped) {
          out.append("\\/");
        } else {
          out.push_back('/');
        }
        break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void appendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) throw JsonEncodingError();
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

void JsonBuilder::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!nonEmpty_.empty()) {
    if (nonEmpty_.back()) out_.push_back(',');
    nonEmpty_.back() = true;
  }
}

JsonBuilder& JsonBuilder::beginObject() {
  beforeValue();
  out_.push_back('{');
  nonEmpty_.push_back(false);
  return *this;
}

JsonBuilder& JsonBuilder::endObject() {
  assert(!nonEmpty_.empty() && !afterKey_);
  nonEmpty_.pop_back();
  out_.push_back('}');
  return *this;
}

JsonBuilder& JsonBuilder::beginArray() {
  beforeValue();
  out_.push_back('[');
  nonEmpty_.push_back(false);
  return *this;
}

JsonBuilder& JsonBuilder::endArray() {
  assert(!nonEmpty_.empty() && !afterKey_);
  nonEmpty_.pop_back();
  out_.push_back(']');
  return *this;
}

JsonBuilder& JsonBuilder::key(std::string_view name) {
  assert(!afterKey_);
  beforeValue();
  appendJsonString(out_, name, style_);
  out_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonBuilder& JsonBuilder::value(std::string_view text) {
  beforeValue();
  appendJsonString(out_, text, style_);
  return *this;
}

JsonBuilder& JsonBuilder::value(bool flag) {
  beforeValue();
  out_.append(flag ? "true" : "false");
  return *this;
}

JsonBuilder& JsonBuilder::value(int64_t number) {
  beforeValue();
  out_.append(std::to_string(number));
  return *this;
}

JsonBuilder& JsonBuilder::value(uint64_t number) {
  beforeValue();
  out_.append(std::to_string(number));
  return *this;
}

JsonBuilder& JsonBuilder::value(double number) {
  // Check before touching the output so a failed value leaves no comma behind.
  if (!std::isfinite(number)) throw JsonEncodingError();
  beforeValue();
  appendJsonNumber(out_, number);
  return *this;
}

JsonBuilder& JsonBuilder::value(const std::vector<std::string>& items) {
  beginArray();
  for (const auto& item : items) value(std::string_view(item));
  return endArray();
}

}  // namespace tavrin
