// The records' JSON form and reading them back from generated values.
#include "apple-llm/records.h"

#include <gtest/gtest.h>

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
  struct Case {
    const char* text;
    const char* what;
  };
  for (const Case& c : {
           Case{R"({"topics":[],"decisions":[]})", "it has no \"actionItems\" field"},
           Case{R"({"topics":[{"topic":"A"}],"decisions":[],"actionItems":[]})", "it has no \"notes\" field"},
           Case{R"({"topics":[],"decisions":[1],"actionItems":[]})", "its \"decisions\" field is not a string"},
           Case{R"({"topics":{},"decisions":[],"actionItems":[]})", "its \"topics\" field is not a list"},
           Case{R"({"topics":[],"decisions":[],"actionItems":[{"text":"x","owner":null}]})",
                "its \"owner\" field is not a string"},
           Case{R"({"topics":[],"decisions":[],"actionItems":[)", "it is not JSON"},
           Case{"[]", "it is not an object"},
       }) {
    try {
      Extract::fromGenerated(c.text);
      ADD_FAILURE() << c.text;
    } catch (const GeneratedValueError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("The model's response is not a valid Extract: ") + c.what + ".");
    }
  }
}

}  // namespace
}  // namespace tavrin::llm
