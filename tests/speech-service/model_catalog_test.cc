// Locale matching, the model search paths and the asset states read from model folders.
#include "speech-service/models/model_catalog.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "tests/support/subprocess.h"

namespace tavrin::speech {
namespace {

using testing::TempDir;

TEST(ModelCatalogTest, MatchesExactLocaleThenSameLanguage) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {"en_US", "en_US"}, {"EN-us", "en_US"},           {"en", "en_US"},           {"en_GB", "en_US"},
      {"pt_PT", "pt_BR"}, {"de-AT", "de_DE"},           {"zh-Hans", "zh_CN"},      {"xx_YY", std::nullopt},
      {"", std::nullopt}, {"--language", std::nullopt}, {"\xff\xfe", std::nullopt}};
  for (const auto& [identifier, expected] : rows) EXPECT_EQ(ModelCatalog::match(identifier), expected) << identifier;
}

// A model folder whose files look whole, less `missing`; `damaged` holds no model file.
void makeModel(const std::string& dir, const std::string& missing = "", const std::string& damaged = "") {
  const std::string parameters = std::string("s3\nendhdr\n\x44\x33\x22\x11", 14) + std::string(8, '\0');
  const std::vector<std::pair<std::string, std::string>> files = {{"acoustic-model/mdef", "BMDF"},
                                                                  {"acoustic-model/means", parameters},
                                                                  {"acoustic-model/variances", parameters},
                                                                  {"acoustic-model/transition_matrices", parameters},
                                                                  {"acoustic-model/mixture_weights", parameters},
                                                                  {"dictionary.dict", "a AH\n"},
                                                                  {"language-model.lm.bin", "Trie Language Model"}};
  std::filesystem::create_directories(dir + "/acoustic-model");
  for (const auto& [name, bytes] : files) {
    if (name != missing) testing::writeFile(dir + "/" + name, name == damaged ? "<html>" : bytes);
  }
}

class ModelDirectoriesTest : public ::testing::Test {
 protected:
  ModelCatalog catalog() { return ModelCatalog(ModelSearchPaths{home.path(), {system.path()}, debian.path(), ""}); }
  std::string speechDir(const TempDir& base) { return base.path() + "/tavrin/speech/"; }

  TempDir home, system, debian;
};

TEST_F(ModelDirectoriesTest, FourStatesFromWhatIsOnDisk) {
  makeModel(speechDir(home) + "de_DE");
  makeModel(speechDir(home) + "fr_FR", "acoustic-model/transition_matrices");
  makeModel(speechDir(system) + "fr_FR");  // a complete copy further down the path wins
  makeModel(speechDir(system) + "it_IT", "dictionary.dict");
  makeModel(speechDir(home) + "nl-NL");  // named as supported-locales prints it
  makeModel(speechDir(home) + "ru_RU", "", "acoustic-model/means");
  makeModel(speechDir(home) + "pt_BR", "acoustic-model/mixture_weights");
  makeModel(speechDir(home) + "xx_YY");  // an unknown locale is never installed
  const std::vector<std::pair<std::string, AssetStatus>> rows = {
      {"de_DE", AssetStatus::kInstalled}, {"fr_FR", AssetStatus::kInstalled},   {"it_IT", AssetStatus::kDownloading},
      {"nl_NL", AssetStatus::kInstalled}, {"ru_RU", AssetStatus::kDownloading}, {"pt_BR", AssetStatus::kDownloading},
      {"es_ES", AssetStatus::kSupported}, {"en_US", AssetStatus::kSupported},   {"xx_YY", AssetStatus::kUnsupported}};
  for (const auto& [locale, expected] : rows) EXPECT_EQ(catalog().status(locale), expected) << locale;
  EXPECT_EQ(catalog().installedModel("fr_FR")->acousticModel, speechDir(system) + "fr_FR/acoustic-model");
  EXPECT_EQ(catalog().installedModel("es_ES"), std::nullopt);
  EXPECT_EQ(catalog().damage("ru_RU"), speechDir(home) + "ru_RU/acoustic-model/means is not a model file");
  EXPECT_EQ(catalog().damage("it_IT"), std::nullopt);
  EXPECT_EQ(catalog().damage("fr_FR"), std::nullopt);  // a missing file is not damage
}

TEST(ModelSearchPathsTest, ReadsAbsoluteXdgVariablesElseTheDefaults) {
  ::setenv("HOME", "/h", 1);
  ::setenv("XDG_DATA_HOME", "/d/home", 1);
  ::setenv("XDG_CACHE_HOME", "/c", 1);
  ::setenv("XDG_DATA_DIRS", "/a::rel:/b", 1);
  ModelSearchPaths p = ModelSearchPaths::fromProcess();
  EXPECT_EQ(p.dataHome, "/d/home");
  EXPECT_EQ(p.cacheHome, "/c");
  EXPECT_EQ(p.dataDirs, (std::vector<std::string>{"/a", "/b"}));
  for (const char* value : {"", "relative"}) {  // relative values are ignored
    ::setenv("XDG_DATA_HOME", value, 1);
    ::setenv("XDG_CACHE_HOME", value, 1);
    ::setenv("XDG_DATA_DIRS", value, 1);
    p = ModelSearchPaths::fromProcess();
    EXPECT_EQ(p.dataHome, "/h/.local/share");
    EXPECT_EQ(p.cacheHome, "/h/.cache");
    EXPECT_EQ(PocketSphinxService::settingsFromProcess().cepstralMeanDirectory, "/h/.cache/tavrin/speech/sources");
    EXPECT_EQ(p.dataDirs, (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
  }
  // No HOME (or a relative one): the password database's home, never /.cache.
  const std::string home = ::getpwuid(::getuid())->pw_dir;
  for (const char* value : {static_cast<const char*>(nullptr), "relative"}) {
    value != nullptr ? ::setenv("HOME", value, 1) : ::unsetenv("HOME");
    p = ModelSearchPaths::fromProcess();
    EXPECT_EQ(p.cacheHome, home + "/.cache");
    EXPECT_EQ(p.dataHome, home + "/.local/share");
  }
}

}  // namespace
}  // namespace tavrin::speech
