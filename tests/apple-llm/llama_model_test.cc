// llama.cpp behind the model interface, on a tiny random-weight model: the
// grammars accept complete values of the records and nothing else, and
// generation ends in a complete record or a clear error. Nothing here
// depends on what the random weights say.
#include "apple-llm/llama_model.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::TempDir;

class LlamaModelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::filesystem::create_directories(dir_->path() + "/tavrin/models");
    testmodel::writeModel(modelPath(), testmodel::tinyShape());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string modelPath() { return dir_->path() + "/tavrin/models/tiny.gguf"; }
  static ModelSearchPaths paths() { return ModelSearchPaths{{dir_->path()}}; }

  static TempDir* dir_;
};
TempDir* LlamaModelTest::dir_ = nullptr;

TEST_F(LlamaModelTest, GrammarsAcceptCompleteRecordsOnly) {
  struct Case {
    const RecordSchema* schema;
    const char* text;
    bool accepted;
  };
  const RecordSchema* extract = &Extract::schema();
  const RecordSchema* overview = &Overview::schema();
  for (const Case& c : {
           Case{extract, R"({"topics":[{"topic":"A","notes":"B"}],"decisions":["C"],"actionItems":[{"text":"D","owner":"You"},{"text":"E"}]})", true},
           Case{extract, R"({ "topics": [ ], "decisions": [ "a/b \"q\" \n \u00e9 日本" ], "actionItems": [] })", true},
           Case{overview, R"({"title":"T","summary":"S"})", true},
           Case{extract, R"({"topics":[],"decisions":[]})", false},
           Case{extract, R"({"decisions":[],"actionItems":[]})", false},
           Case{extract, R"({"topics":[{"topic":"A"}],"decisions":[],"actionItems":[]})", false},
           Case{extract, R"({"topics":[],"decisions":[],"actionItems":[{"owner":"You"}]})", false},
           Case{overview, R"({"title":"T","summary":"S")", false},
           Case{overview, R"({"title":"T","summary":"S","extra":"x"})", false},
           Case{overview, "{\"title\":\"T\nU\",\"summary\":\"S\"}", false},  // raw control character
           Case{overview, R"({"title":"\ud800","summary":"S"})", false},     // lone surrogate
           Case{overview, R"({"title":null,"summary":"S"})", false},
       }) {
    EXPECT_EQ(grammarAcceptsWithModel(modelPath(), *c.schema, c.text), c.accepted) << c.text;
  }
}

TEST_F(LlamaModelTest, GeneratesCompleteRecordsWithinTheLimit) {
  GenerationStats stats;
  LlamaOptions options;
  options.stats = &stats;
  LlamaLanguageModel model(paths(), options);
  ASSERT_TRUE(model.availability().available);
  EXPECT_NO_THROW(Extract::fromGenerated(model.openSession("I")->respond("You: hi.", Extract::schema(), {0.1, 1200})));
  EXPECT_LE(stats.generatedTokens, 1200);
  EXPECT_NO_THROW(Overview::fromGenerated(model.openSession("I")->respond("notes", Overview::schema(), {0.3, 500})));
  try {
    model.openSession("I")->respond("notes", Overview::schema(), {0.3, 8});
    FAIL() << "a partial record was returned";
  } catch (const ModelError& e) {
    EXPECT_STREQ(e.what(), "The response was cut off at the limit of 8 tokens before the Overview record was complete.");
  }
  EXPECT_EQ(stats.generatedTokens, 8);
}

}  // namespace
}  // namespace tavrin::llm
