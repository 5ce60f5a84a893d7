// The records' JSON form and the UTF-8 rule generation follows.
#include "apple-llm/records.h"

#include <gtest/gtest.h>

#include "apple-llm/grammar.h"

namespace tavrin::llm {
namespace {

TEST(RecordJson, FieldOrderEmptyListsAbsentOwnerAndEscaping) {
  EXPECT_EQ(Extract{}.toJson(), R"({"topics":[],"decisions":[],"actionItems":[]})");
  const std::string full =
      R"({"topics":[{"topic":"A","notes":"B"}],"decisions":["C"],"actionItems":[{"text":"D","owner":"You"},{"text":"E"}]})";
  const Extract e{{{"A", "B"}}, {"C"}, {{"D", std::string("You")}, {"E", std::nullopt}}};
  EXPECT_EQ(e.toJson(), full);
  EXPECT_EQ(Extract::fromGenerated(full), e);
  EXPECT_EQ((Extract{{{"a/b", "say \"hi\"\nthen 日本語"}}, {}, {}}).toJson(),
            "{\"topics\":[{\"topic\":\"a/b\",\"notes\":\"say \\\"hi\\\"\\nthen 日本語\"}],\"decisions\":[],"
            "\"actionItems\":[]}");
  EXPECT_EQ((Overview{"T/x", "S"}).toJson(), R"({"title":"T/x","summary":"S"})");
  EXPECT_EQ(Overview::fromGenerated(R"({ "summary": "S", "title": "T" })"), (Overview{"T", "S"}));
}

TEST(Utf8Prefix, AcceptsWellFormedUtf8OnlyAcrossPieces) {
  using Pieces = std::vector<std::string>;
  const auto accepted = [](const Pieces& pieces, Utf8Prefix& text) {
    for (const std::string& piece : pieces) {
      if (!text.accepts(piece)) return false;
      text.append(piece);
    }
    return true;
  };
  for (const auto& [pieces, complete] :
       std::vector<std::pair<Pieces, bool>>{{{"a", "\xC3", "\xA9", "\xE6\x97", "\xA5", "\xF0\x9F\x98\x80"}, true},
                                            {{"\xEF\xBF\xBD", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xE2"}, false}}) {
    Utf8Prefix text;
    EXPECT_TRUE(accepted(pieces, text)) << ::testing::PrintToString(pieces);
    EXPECT_EQ(text.complete(), complete) << ::testing::PrintToString(pieces);
  }
  // Overlong forms, a surrogate, above U+10FFFF, bytes no UTF-8 has, a stray continuation, a sequence cut short.
  for (const Pieces& pieces : {Pieces{"\xC0\x80"}, Pieces{"\xC1", "\xBF"}, Pieces{"\xE0\x9F\xBF"},
                               Pieces{"\xED", "\xA0\x80"}, Pieces{"\xF4\x90\x80\x80"}, Pieces{"\xF8\x90\x80\x80"},
                               Pieces{"\xFF"}, Pieces{"a", "\x80"}, Pieces{"\xC3", "a"}}) {
    Utf8Prefix text;
    EXPECT_FALSE(accepted(pieces, text)) << ::testing::PrintToString(pieces);
  }
}

}  // namespace
}  // namespace tavrin::llm
