// Compact JSON writing shared by the three helpers.
//
// One builder serves every reply and event: keys are written in the order the
// caller adds them, nothing is sorted, no whitespace is emitted, non-ASCII text
// is written as is, and the quotation mark, the backslash and the control
// characters are escaped. The only policy that differs between the helpers is
// the solidus: tavrin-system-audio writes "/" as "\/", the other two write it
// plain. Strings that are not valid UTF-8 (arguments and engine output can
// carry any bytes) are written with every ill-formed sequence replaced by
// U+FFFD, so every document this builder produces is valid UTF-8 JSON.
//
// Optional values are the caller's business: an absent optional is simply not
// added, so no document ever contains null.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

enum class SlashStyle {
  kEscaped,  // "/" is written as "\/"
  kPlain,    // "/" is written as is
};

// Thrown when a value cannot be represented in JSON (a NaN or an infinite
// double). The text is what the helpers report for an encoding failure.
class JsonEncodingError : public std::runtime_error {
 public:
  JsonEncodingError();
};

// Replaces every ill-formed UTF-8 sequence in `bytes` with U+FFFD (maximal
// subparts, as Unicode recommends). Valid input is returned unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// Appends `text` as a quoted JSON string to `out`.
void appendJsonString(std::string& out, std::string_view text, SlashStyle style);

// Appends the shortest decimal form that reads back as the same double
// ("0.1", "2", "1e+300"). Throws JsonEncodingError for NaN and infinities.
void appendJsonNumber(std::string& out, double value);

// Streaming builder for one compact document. Commas are placed by the
// builder; the caller only has to nest begin/end calls correctly and give each
// object member a key before its value. Misuse is a programming error and is
// caught by assertions in debug builds.
class JsonBuilder {
 public:
  explicit JsonBuilder(SlashStyle style) : style_(style) {}

  JsonBuilder& beginObject();
  JsonBuilder& endObject();
  JsonBuilder& beginArray();
  JsonBuilder& endArray();
  JsonBuilder& key(std::string_view name);

  JsonBuilder& value(std::string_view text);
  JsonBuilder& value(const char* text) { return value(std::string_view(text)); }
  JsonBuilder& value(const std::string& text) { return value(std::string_view(text)); }
  JsonBuilder& value(bool flag);
  JsonBuilder& value(int number) { return value(static_cast<int64_t>(number)); }
  JsonBuilder& value(int64_t number);
  JsonBuilder& value(uint64_t number);
  JsonBuilder& value(double number);  // throws JsonEncodingError if not finite

  // key(name).value(v)
  template <typename T>
  JsonBuilder& field(std::string_view name, const T& v) {
    return key(name).value(v);
  }
  // Adds the member only when `v` holds a value.
  template <typename T>
  JsonBuilder& optionalField(std::string_view name, const std::optional<T>& v) {
    if (v) key(name).value(*v);
    return *this;
  }
  // An array of strings.
  JsonBuilder& value(const std::vector<std::string>& items);

  // The finished document (without a trailing line feed).
  const std::string& str() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void beforeValue();

  SlashStyle style_;
  std::string out_;
  // One entry per open container: true once it holds at least one member.
  std::vector<bool> nonEmpty_;
  bool afterKey_ = false;
};

}  // namespace tavrin
