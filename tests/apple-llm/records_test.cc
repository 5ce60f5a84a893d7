// The records' JSON form, reading them back, and the UTF-8 rule generation follows.
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

TEST(RecordJson, MissingOrMisshapenFieldsAreModelErrors) {
  for (const auto& [text, what] : std::vector<std::pair<std::string, std::string>>{
           {R"({"topics":[],"decisions":[]})", "it has no \"actionItems\" field"},
           {R"({"topics":[{"topic":"A"}],"decisions":[],"actionItems":[]})", "it has no \"notes\" field"},
           {R"({"topics":[],"decisions":[1],"actionItems":[]})", "its \"decisions\" field is not a string"},
           {R"({"topics":{},"decisions":[],"actionItems":[]})", "its \"topics\" field is not a list"},
           {R"({"topics":[],"decisions":[],"actionItems":[{"text":"x","owner":null}]})",
            "its \"owner\" field is not a string"},
           {R"({"topics":[],"decisions":[],"actionItems":[)", "it is not JSON"},
           {"[]", "it is not an object"}}) {
    try {
      Extract::fromGenerated(text);
      ADD_FAILURE() << text;
    } catch (const GeneratedValueError& e) {
      EXPECT_EQ(std::string(e.what()), "The model's response is not a valid Extract: " + what + ".");
    }
  }
}

TEST(Utf8Prefix, AcceptsWellFormedUtf8OnlyAcrossPieces) {
  struct Case {
    std::vector<std::string> pieces;
    bool accepted;
    bool complete;
  };
  for (const Case& c : {
           Case{{"a", "\xC3", "\xA9", "\xE6\x97", "\xA5", "\xF0\x9F\x98\x80"}, true, true},
           Case{{"\xEF\xBF\xBD", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xE2"}, true, false},
           Case{{"\xC0\x80"}, false, false},          // overlong
           Case{{"\xC1", "\xBF"}, false, false},      // overlong
           Case{{"\xE0\x9F\xBF"}, false, false},      // overlong
           Case{{"\xED", "\xA0\x80"}, false, false},  // surrogate
           Case{{"\xF4\x90\x80\x80"}, false, false},  // above U+10FFFF
           Case{{"\xF8\x90\x80\x80"}, false, false}, Case{{"\xFF"}, false, false},
           Case{{"a", "\x80"}, false, false},  // stray continuation
           Case{{"\xC3", "a"}, false, false},  // cut short
       }) {
    Utf8Prefix text;
    bool accepted = true;
    for (const std::string& piece : c.pieces) {
      accepted = accepted && text.accepts(piece);
      if (accepted) text.append(piece);
    }
    EXPECT_EQ(accepted, c.accepted) << ::testing::PrintToString(c.pieces);
    if (accepted) {
      EXPECT_EQ(text.complete(), c.complete) << ::testing::PrintToString(c.pieces);
    }
  }
}

}  // namespace
}  // namespace tavrin::llm
