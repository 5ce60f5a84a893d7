// llama.cpp behind the model interface, on a tiny random-weight model: the
// grammars accept the records' example values and nothing incomplete,
// generation stays within its token limit, and load failures explain
// themselves.
#include "apple-llm/llama_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::TempDir;
using testing::writeFile;

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

TEST_F(LlamaModelTest, GrammarsAcceptTheExampleValues) {
  const auto accepts = [](const RecordSchema& s, const std::string& text) {
    return grammarAcceptsWithModel(modelPath(), s, text);
  };
  EXPECT_TRUE(accepts(Extract::schema(),
                      R"({"topics":[{"topic":"A","notes":"B"}],"decisions":["C"],"actionItems":[{"text":"D","owner":"You"},{"text":"E"}]})"));
  EXPECT_TRUE(accepts(Extract::schema(), R"({"topics":[],"decisions":[],"actionItems":[]})"));
  EXPECT_TRUE(accepts(Extract::schema(), R"({ "topics": [ ], "decisions": [ "a/b \"q\" \n \u00e9 日本" ], "actionItems": [] })"));
  EXPECT_TRUE(accepts(Overview::schema(), R"({"title":"T","summary":"S"})"));
  EXPECT_TRUE(accepts(ActionItem::schema(), R"({"text":"D"})"));
  EXPECT_TRUE(accepts(Topic::schema(), R"({"topic":"A","notes":"B"})"));
}

TEST_F(LlamaModelTest, GrammarsRejectMissingRequiredKeysAndIncompleteValues) {
  const auto accepts = [](const RecordSchema& s, const std::string& text) {
    return grammarAcceptsWithModel(modelPath(), s, text);
  };
  EXPECT_FALSE(accepts(Extract::schema(), R"({"topics":[],"decisions":[]})"));
  EXPECT_FALSE(accepts(Extract::schema(), R"({"decisions":[],"actionItems":[]})"));
  EXPECT_FALSE(accepts(Extract::schema(), R"({"topics":[{"topic":"A"}],"decisions":[],"actionItems":[]})"));
  EXPECT_FALSE(accepts(Extract::schema(), R"({"topics":[],"decisions":[],"actionItems":[{"owner":"You"}]})"));
  EXPECT_FALSE(accepts(Overview::schema(), R"({"title":"T"})"));
  EXPECT_FALSE(accepts(Overview::schema(), R"({"title":"T","summary":"S")"));
  EXPECT_FALSE(accepts(Overview::schema(), R"({"title":"T","summary":"S","extra":"x"})"));
  EXPECT_FALSE(accepts(Overview::schema(), "{\"title\":\"T\nU\",\"summary\":\"S\"}"));  // raw control character
  EXPECT_FALSE(accepts(Overview::schema(), R"({"title":"\ud800","summary":"S"})"));     // lone surrogate
  EXPECT_FALSE(accepts(Overview::schema(), R"({"title":null,"summary":"S"})"));
}

TEST_F(LlamaModelTest, GeneratesCompleteRecordsOfTheRequestedShape) {
  GenerationStats stats;
  LlamaOptions options;
  options.seed = 7;
  options.stats = &stats;
  LlamaLanguageModel model(paths(), options);
  ASSERT_TRUE(model.availability().available);
  auto session = model.openSession("Be brief.");
  const std::string text = session->respond("You: we ship on Monday.", Extract::schema(), {0.1, 1200});
  const Extract record = Extract::fromGenerated(text);  // throws if not complete
  EXPECT_LE(stats.generatedTokens, 1200);
  EXPECT_GT(stats.promptTokens, 0);
  const nlohmann::json parsed = nlohmann::json::parse(record.toJson());
  EXPECT_EQ(parsed.size(), 3u);

  auto overview = model.openSession("Be brief.")->respond("notes", Overview::schema(), {0.3, 500});
  EXPECT_NO_THROW(Overview::fromGenerated(overview));
}

TEST_F(LlamaModelTest, ATokenLimitTooSmallForTheRecordIsAnError) {
  GenerationStats stats;
  LlamaOptions options;
  options.stats = &stats;
  LlamaLanguageModel model(paths(), options);
  auto session = model.openSession("Be brief.");
  try {
    session->respond("notes", Overview::schema(), {0.3, 8});
    FAIL() << "a partial record was returned";
  } catch (const ModelError& e) {
    EXPECT_STREQ(e.what(), "The response was cut off at the limit of 8 tokens before the Overview record was complete.");
  }
  EXPECT_EQ(stats.generatedTokens, 8);
}

TEST_F(LlamaModelTest, AModelThatDoesNotLoadSaysWhy) {
  TempDir other;
  std::filesystem::create_directories(other.path() + "/tavrin/models");
  const std::string path = other.path() + "/tavrin/models/broken.gguf";
  // A valid GGUF of an architecture llama.cpp does not know.
  std::string content = testing::readFile(modelPath());
  const size_t at = content.find("llama");
  ASSERT_NE(at, std::string::npos);
  content.replace(at, 5, "zzzzz");
  writeFile(path, content);
  LlamaLanguageModel model(ModelSearchPaths{{other.path()}});
  try {
    model.openSession("x");
    FAIL();
  } catch (const ModelError& e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("The language model at " + path + " could not be loaded: ")) << text;
    EXPECT_NE(text.find("zzzzz"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace tavrin::llm
