// Locale matching and the asset states read from model directories.
#include "speech-service/model_catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "speech-service/pocketsphinx_service.h"
#include "tests/support/subprocess.h"

namespace tavrin::speech {
namespace {

using testing::TempDir;

TEST(ModelCatalogTest, MatchesExactLocaleThenSameLanguage) {
  EXPECT_EQ(ModelCatalog::match("en_US"), "en_US");
  EXPECT_EQ(ModelCatalog::match("en-US"), "en_US");
  EXPECT_EQ(ModelCatalog::match("EN-us"), "en_US");
  EXPECT_EQ(ModelCatalog::match("en"), "en_US");
  EXPECT_EQ(ModelCatalog::match("en_GB"), "en_US");
  EXPECT_EQ(ModelCatalog::match("pt_PT"), "pt_BR");
  EXPECT_EQ(ModelCatalog::match("de-AT"), "de_DE");
  EXPECT_EQ(ModelCatalog::match("zh-Hans"), "zh_CN");
  EXPECT_EQ(ModelCatalog::match("xx_YY"), std::nullopt);
  EXPECT_EQ(ModelCatalog::match(""), std::nullopt);
  EXPECT_EQ(ModelCatalog::match("--language"), std::nullopt);
  EXPECT_EQ(ModelCatalog::match(std::string("\xff\xfe", 2)), std::nullopt);
}

class ModelDirectoriesTest : public ::testing::Test {
 protected:
  ModelDirectoriesTest() {
    paths.dataHome = home.path();
    paths.dataDirs = {system.path()};
    paths.debianModelRoot = debian.path();
  }

  static void makeModel(const std::string& dir, bool complete) {
    ::mkdir(dir.c_str(), 0755);
    ::mkdir((dir + "/acoustic-model").c_str(), 0755);
    for (const char* f : {"mdef", "means", "variances"}) testing::writeFile(dir + "/acoustic-model/" + f, "x");
    testing::writeFile(dir + "/dictionary.dict", "x");
    testing::writeFile(dir + "/language-model.lm.bin", "x");
    if (complete) testing::writeFile(dir + "/acoustic-model/transition_matrices", "x");
  }
  static std::string speechDir(const TempDir& base) {
    ::mkdir((base.path() + "/tavrin").c_str(), 0755);
    ::mkdir((base.path() + "/tavrin/speech").c_str(), 0755);
    return base.path() + "/tavrin/speech/";
  }

  TempDir home, system, debian;
  ModelSearchPaths paths;
};

TEST_F(ModelDirectoriesTest, FourStatesFromWhatIsOnDisk) {
  makeModel(speechDir(home) + "de_DE", true);
  makeModel(speechDir(home) + "fr_FR", false);
  makeModel(speechDir(system) + "fr_FR", true);  // a complete copy further down the path wins
  makeModel(speechDir(system) + "it_IT", false);
  ModelCatalog catalog(paths);

  EXPECT_EQ(catalog.status("de_DE"), AssetStatus::kInstalled);
  EXPECT_EQ(catalog.installedModel("de_DE")->languageModel, home.path() + "/tavrin/speech/de_DE/language-model.lm.bin");
  EXPECT_EQ(catalog.status("fr_FR"), AssetStatus::kInstalled);
  EXPECT_EQ(catalog.installedModel("fr_FR")->acousticModel, system.path() + "/tavrin/speech/fr_FR/acoustic-model");
  EXPECT_EQ(catalog.status("it_IT"), AssetStatus::kDownloading);
  EXPECT_EQ(catalog.status("es_ES"), AssetStatus::kSupported);
  EXPECT_EQ(catalog.status("en_US"), AssetStatus::kSupported);  // no Debian model under this root
  EXPECT_EQ(catalog.status("xx_YY"), AssetStatus::kUnsupported);
  EXPECT_EQ(catalog.installedModel("es_ES"), std::nullopt);
  // An unknown locale is never installed, even with files on disk.
  makeModel(speechDir(home) + "xx_YY", true);
  EXPECT_EQ(catalog.status("xx_YY"), AssetStatus::kUnsupported);
}

TEST_F(ModelDirectoriesTest, DebianEnglishModelIsFound) {
  const std::string root = debian.path() + "/en-us";
  ::mkdir(root.c_str(), 0755);
  ::mkdir((root + "/en-us").c_str(), 0755);
  for (const char* f : {"mdef", "means", "variances", "transition_matrices"})
    testing::writeFile(root + "/en-us/" + f, "x");
  testing::writeFile(root + "/en-us.lm.bin", "x");
  testing::writeFile(root + "/cmudict-en-us.dict", "x");
  ModelCatalog catalog(paths);
  EXPECT_EQ(catalog.status("en_US"), AssetStatus::kInstalled);
  EXPECT_EQ(catalog.installedModel("en_US")->dictionary, root + "/cmudict-en-us.dict");
}

TEST_F(ModelDirectoriesTest, ServiceRefusesToInstallAndNamesTheFolder) {
  PocketSphinxService service{ModelCatalog(paths)};
  try {
    service.installAssets("es_ES");
    FAIL() << "no error";
  } catch (const SpeechServiceError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The speech model for locale es_ES is not installed and cannot be downloaded here; install its files "
              "(acoustic-model/, language-model.lm.bin, dictionary.dict) into " +
                  home.path() + "/tavrin/speech/es_ES/");
  }
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
