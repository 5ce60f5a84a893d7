#include "common/json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tavrin {
namespace {

std::string jsonQuoted(std::string_view text, SlashStyle style = SlashStyle::kEscaped) {
  std::string out;
  appendJsonString(out, text, style);
  return out;
}

TEST(JsonStrings, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(jsonQuoted("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(jsonQuoted("line\nnext\ttab\r\b\f"), R"("line\nnext\ttab\r\b\f")");
  EXPECT_EQ(jsonQuoted(std::string("\x01\x1f", 2)), R"("\u0001\u001f")");
  EXPECT_EQ(jsonQuoted(std::string("nul\0byte", 8)), R"("nul\u0000byte")");
  EXPECT_EQ(jsonQuoted("\x7f"), "\"\x7f\"");  // DEL is not a control character in JSON
}

TEST(JsonStrings, SolidusFollowsThePolicy) {
  EXPECT_EQ(jsonQuoted("a/b", SlashStyle::kEscaped), R"("a\/b")");
  EXPECT_EQ(jsonQuoted("a/b", SlashStyle::kPlain), R"("a/b")");
}

TEST(JsonStrings, NonAsciiIsWrittenAsIs) {
  EXPECT_EQ(jsonQuoted("こんにちは é 😀"), "\"こんにちは é 😀\"");
}

TEST(JsonStrings, IllFormedUtf8BecomesReplacementCharacters) {
  // A lone continuation byte, a truncated sequence at the end, an overlong
  // encoding, a surrogate and a byte that never appears in UTF-8.
  EXPECT_EQ(jsonQuoted("a\x80z"), "\"a\xEF\xBF\xBDz\"");
  EXPECT_EQ(jsonQuoted("end\xE3\x81"), "\"end\xEF\xBF\xBD\"");
  EXPECT_EQ(jsonQuoted("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(jsonQuoted("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(jsonQuoted("\xFF"), "\"\xEF\xBF\xBD\"");
  // Whatever the bytes, the result parses.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_TRUE(nlohmann::json::accept(jsonQuoted(all)));
}

TEST(JsonStrings, SanitizeKeepsValidTextAndRepairsInvalid) {
  EXPECT_EQ(sanitizeUtf8("plain ü 漢"), "plain ü 漢");
  EXPECT_EQ(sanitizeUtf8("x\xF4\x90\x80\x80"), "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JsonNumbers, DoublesUseTheShortestRoundTripForm) {
  auto number = [](double v) {
    std::string out;
    appendJsonNumber(out, v);
    return out;
  };
  EXPECT_EQ(number(0.1), "0.1");
  EXPECT_EQ(number(2.0), "2");
  EXPECT_EQ(number(-1.5), "-1.5");
  EXPECT_EQ(number(1.0 / 3), "0.3333333333333333");
  EXPECT_EQ(std::stod(number(1e300)), 1e300);
  EXPECT_THROW(number(std::nan("")), JsonEncodingError);
  EXPECT_THROW(number(1.0 / 0.0), JsonEncodingError);
}

TEST(JsonBuilderTest, KeysKeepTheirOrderAndNestingGetsCommasRight) {
  JsonBuilder json(SlashStyle::kPlain);
  json.beginObject()
      .field("z", 1)
      .field("a", true)
      .key("list")
      .beginArray()
      .beginObject()
      .field("x", uint64_t{18446744073709551615u})
      .endObject()
      .beginObject()
      .endObject()
      .endArray()
      .field("words", std::vector<std::string>{"a/b", "c"})
      .field("empty", std::vector<std::string>{})
      .optionalField("absent", std::optional<std::string>())
      .optionalField("present", std::optional<std::string>("p"))
      .field("neg", int64_t{-5})
      .endObject();
  EXPECT_EQ(json.str(),
            R"({"z":1,"a":true,"list":[{"x":18446744073709551615},{}],"words":["a/b","c"],"empty":[],)"
            R"("present":"p","neg":-5})");
}

TEST(JsonBuilderTest, AFailedDoubleLeavesNoTrace) {
  JsonBuilder json(SlashStyle::kPlain);
  json.beginArray().value(1.5);
  EXPECT_THROW(json.value(std::nan("")), JsonEncodingError);
  json.value(2.5).endArray();
  EXPECT_EQ(json.str(), "[1.5,2.5]");
}

}  // namespace
}  // namespace tavrin
