// Locale matching, the model search paths and the asset states read from
// model directories.
#include "speech-service/model_catalog.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "speech-service/pocketsphinx_service.h"
#include "tests/support/subprocess.h"

namespace tavrin::speech {
namespace {

using testing::TempDir;

TEST(ModelCatalogTest, MatchesExactLocaleThenSameLanguage) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {"en_US", "en_US"},  {"EN-us", "en_US"},   {"en", "en_US"},         {"en_GB", "en_US"},
      {"pt_PT", "pt_BR"},  {"de-AT", "de_DE"},   {"zh-Hans", "zh_CN"},    {"xx_YY", std::nullopt},
      {"", std::nullopt},  {"--language", std::nullopt}, {"\xff\xfe", std::nullopt}};
  for (const auto& [identifier, expected] : rows) EXPECT_EQ(ModelCatalog::match(identifier), expected) << identifier;
}

// Writes a model folder: every file of a model, less `missing`.
void makeModel(const std::string& dir, const std::string& missing = "") {
  std::filesystem::create_directories(dir + "/acoustic-model");
  for (const char* f : {"acoustic-model/mdef", "acoustic-model/means", "acoustic-model/variances",
                        "acoustic-model/transition_matrices", "dictionary.dict", "language-model.lm.bin"}) {
    if (f != missing) testing::writeFile(dir + "/" + f, "x");
  }
}

class ModelDirectoriesTest : public ::testing::Test {
 protected:
  ModelCatalog catalog() { return ModelCatalog(ModelSearchPaths{home.path(), {system.path()}, debian.path()}); }
  std::string speechDir(const TempDir& base) { return base.path() + "/tavrin/speech/"; }

  TempDir home, system, debian;
};

TEST_F(ModelDirectoriesTest, FourStatesFromWhatIsOnDisk) {
  makeModel(speechDir(home) + "de_DE");
  makeModel(speechDir(home) + "fr_FR", "acoustic-model/transition_matrices");
  makeModel(speechDir(system) + "fr_FR");  // a complete copy further down the path wins
  makeModel(speechDir(system) + "it_IT", "dictionary.dict");
  makeModel(speechDir(home) + "xx_YY");  // an unknown locale is never installed
  const std::vector<std::pair<std::string, AssetStatus>> rows = {
      {"de_DE", AssetStatus::kInstalled}, {"fr_FR", AssetStatus::kInstalled},  {"it_IT", AssetStatus::kDownloading},
      {"es_ES", AssetStatus::kSupported}, {"en_US", AssetStatus::kSupported},  {"xx_YY", AssetStatus::kUnsupported}};
  for (const auto& [locale, expected] : rows) EXPECT_EQ(catalog().status(locale), expected) << locale;
  EXPECT_EQ(catalog().installedModel("fr_FR")->acousticModel, speechDir(system) + "fr_FR/acoustic-model");
  EXPECT_EQ(catalog().installedModel("es_ES"), std::nullopt);
}

TEST_F(ModelDirectoriesTest, DebianEnglishModelIsFound) {
  const std::string root = debian.path() + "/en-us";
  std::filesystem::create_directories(root + "/en-us");
  for (const char* f : {"en-us/mdef", "en-us/means", "en-us/variances", "en-us/transition_matrices", "en-us.lm.bin",
                        "cmudict-en-us.dict"}) {
    testing::writeFile(root + "/" + f, "x");
  }
  EXPECT_EQ(catalog().status("en_US"), AssetStatus::kInstalled);
  EXPECT_EQ(catalog().installedModel("en_US")->dictionary, root + "/cmudict-en-us.dict");
}

TEST_F(ModelDirectoriesTest, ServiceRefusesToInstallAndKnowsTheFormat) {
  PocketSphinxService service{catalog()};
  EXPECT_THROW(service.installAssets("es_ES"), SpeechServiceError);
  EXPECT_THROW(service.makeRecognizer("es_ES", ReportingMode::kLive), SpeechServiceError);
  EXPECT_EQ(service.inputFormat("es_ES"), PcmFormat::float32(16000, 1));
  EXPECT_EQ(service.inputFormat("xx_YY"), std::nullopt);
}

TEST(ModelSearchPathsTest, ReadsXdgVariablesWithDefaults) {
  ::setenv("XDG_DATA_HOME", "/d/home", 1);
  ::setenv("XDG_DATA_DIRS", "/a::/b", 1);
  ModelSearchPaths p = ModelSearchPaths::fromProcess();
  EXPECT_EQ(p.dataHome, "/d/home");
  EXPECT_EQ(p.dataDirs, (std::vector<std::string>{"/a", "/b"}));
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_DATA_DIRS");
  ::setenv("HOME", "/h", 1);
  p = ModelSearchPaths::fromProcess();
  EXPECT_EQ(p.dataHome, "/h/.local/share");
  EXPECT_EQ(p.dataDirs, (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
}

}  // namespace
}  // namespace tavrin::speech
