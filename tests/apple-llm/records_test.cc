// The records' schemas, their JSON form and reading them back from
// generated values.
#include "apple-llm/records.h"

#include <gtest/gtest.h>

#include "apple-llm/grammar.h"

namespace tavrin::llm {
namespace {

std::vector<std::string> fieldNames(const RecordSchema& s) {
  std::vector<std::string> names;
  for (const FieldSchema& f : s.fields) names.push_back(f.name);
  return names;
}

TEST(Schemas, FieldsInOrderWithKindsOptionalityAndDescriptions) {
  EXPECT_EQ(fieldNames(Extract::schema()), (std::vector<std::string>{"topics", "decisions", "actionItems"}));
  EXPECT_EQ(fieldNames(Topic::schema()), (std::vector<std::string>{"topic", "notes"}));
  EXPECT_EQ(fieldNames(ActionItem::schema()), (std::vector<std::string>{"text", "owner"}));
  EXPECT_EQ(fieldNames(Overview::schema()), (std::vector<std::string>{"title", "summary"}));

  const auto& e = Extract::schema().fields;
  EXPECT_EQ(e[0].kind, FieldKind::kRecordList);
  EXPECT_EQ(e[0].element, &Topic::schema());
  EXPECT_EQ(e[1].kind, FieldKind::kStringList);
  EXPECT_EQ(e[2].element, &ActionItem::schema());
  EXPECT_EQ(e[2].description, "Action items / follow-ups mentioned in this section. Empty if none.");
  for (const RecordSchema* s : {&Extract::schema(), &Topic::schema(), &Overview::schema()}) {
    for (const FieldSchema& f : s->fields) EXPECT_FALSE(f.optional) << f.name;
  }
  EXPECT_FALSE(ActionItem::schema().fields[0].optional);
  EXPECT_TRUE(ActionItem::schema().fields[1].optional);
  EXPECT_EQ(ActionItem::schema().fields[1].description,
            "Who owns the action (e.g. \"You\" or \"Others\"). Omit if unknown.");
  EXPECT_EQ(Overview::schema().fields[0].description,
            "A specific title describing the CORE subject actually discussed (max ~10 words). Never use the "
            "show/program/podcast name or a person's name.");
}

TEST(RecordJson, ExtractShapeEmptyListsAbsentOwnerAndEscaping) {
  EXPECT_EQ(Extract{}.toJson(), R"({"topics":[],"decisions":[],"actionItems":[]})");
  const Extract e{{{"A", "B"}}, {"C"}, {{"D", std::string("You")}, {"E", std::nullopt}}};
  EXPECT_EQ(e.toJson(),
            R"({"topics":[{"topic":"A","notes":"B"}],"decisions":["C"],"actionItems":[{"text":"D","owner":"You"},{"text":"E"}]})");
  const Extract tricky{{{"a/b", "say \"hi\"\nthen 日本語"}}, {}, {}};
  EXPECT_EQ(tricky.toJson(),
            "{\"topics\":[{\"topic\":\"a/b\",\"notes\":\"say \\\"hi\\\"\\nthen 日本語\"}],\"decisions\":[],"
            "\"actionItems\":[]}");
  EXPECT_EQ((Overview{"T/x", "S"}).toJson(), R"({"title":"T/x","summary":"S"})");
}

TEST(RecordJson, GeneratedValuesReadBackByFieldName) {
  const std::string text =
      R"({"topics":[{"topic":"A","notes":"B"}],"decisions":["C"],"actionItems":[{"text":"D","owner":"You"},{"text":"E"}]})";
  const Extract e = Extract::fromGenerated(text);
  EXPECT_EQ(e, (Extract{{{"A", "B"}}, {"C"}, {{"D", std::string("You")}, {"E", std::nullopt}}}));
  EXPECT_EQ(e.toJson(), text);
  EXPECT_EQ(Overview::fromGenerated(R"({ "summary": "S", "title": "T" })"), (Overview{"T", "S"}));
  // Bytes that are not UTF-8 come back replaced, never passed through.
  EXPECT_EQ(Overview::fromGenerated("{\"title\":\"a\xFF\",\"summary\":\"s\"}").title, "a\xEF\xBF\xBD");
}

TEST(RecordJson, MissingOrMisshapenFieldsAreModelErrors) {
  const auto fails = [](const std::string& text) {
    try {
      Extract::fromGenerated(text);
    } catch (const GeneratedValueError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(fails(R"({"topics":[],"decisions":[]})"),
            "The model's response is not a valid Extract: it has no \"actionItems\" field.");
  EXPECT_EQ(fails(R"({"topics":[{"topic":"A"}],"decisions":[],"actionItems":[]})"),
            "The model's response is not a valid Extract: it has no \"notes\" field.");
  EXPECT_EQ(fails(R"({"topics":[],"decisions":[1],"actionItems":[]})"),
            "The model's response is not a valid Extract: its \"decisions\" field is not a string.");
  EXPECT_EQ(fails(R"({"topics":{},"decisions":[],"actionItems":[]})"),
            "The model's response is not a valid Extract: its \"topics\" field is not a list.");
  EXPECT_EQ(fails(R"({"topics":[],"decisions":[],"actionItems":[{"text":"x","owner":null}]})"),
            "The model's response is not a valid Extract: its \"owner\" field is not a string.");
  EXPECT_EQ(fails(R"({"topics":[],"decisions":[],"actionItems":[)"),
            "The model's response is not a valid Extract: it is not JSON.");
  EXPECT_EQ(fails("[]"), "The model's response is not a valid Extract: it is not an object.");
  EXPECT_THROW(Overview::fromGenerated(R"({"title":"T"})"), GeneratedValueError);
}

TEST(Grammar, FollowsTheSchemaOrderAndOptionality) {
  const std::string g = grammarFor(ActionItem::schema());
  EXPECT_NE(g.find("root ::= actionitem\n"), std::string::npos) << g;
  EXPECT_NE(g.find(R"(actionitem ::= "{" ws "\"text\"" ws ":" ws string (ws "," ws "\"owner\"" ws ":" ws string)? ws "}")"),
            std::string::npos)
      << g;
  const std::string e = grammarFor(Extract::schema());
  EXPECT_NE(e.find(R"("\"topics\"" ws ":" ws topic-list ws "," ws "\"decisions\"" ws ":" ws string-list ws "," ws "\"actionItems\"" ws ":" ws actionitem-list)"),
            std::string::npos)
      << e;
  EXPECT_NE(e.find("topic ::= "), std::string::npos);
  EXPECT_NE(e.find("actionitem ::= "), std::string::npos);
  RecordSchema bad{"Bad", {{"x", FieldKind::kString, true, "d"}}};
  EXPECT_THROW(grammarFor(bad), std::logic_error);
}

}  // namespace
}  // namespace tavrin::llm
