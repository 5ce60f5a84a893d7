#include "common/locale.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace tavrin {
namespace {

TEST(RequestedLocale, HyphensBecomeUnderscoresAndEmptyMeansCurrent) {
  EXPECT_EQ(requestedLocale(std::string("en-US"), "de_DE"), "en_US");
  EXPECT_EQ(requestedLocale(std::string("zh-Hans-CN"), "de_DE"), "zh_Hans_CN");
  EXPECT_EQ(requestedLocale(std::string("--no-mic"), "de_DE"), "__no_mic");
  EXPECT_EQ(requestedLocale(std::string(""), "de_DE"), "de_DE");
  EXPECT_EQ(requestedLocale(std::nullopt, "de_DE"), "de_DE");
}

class CurrentLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(CurrentLocale, ReadsThePosixEnvironmentInPriorityOrder) {
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LANG", "C.UTF-8", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "fr_FR");
  setenv("LC_MESSAGES", "de_AT.ISO-8859-1@euro", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "de_AT");
  setenv("LC_ALL", "ja_JP", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "ja_JP");
  setenv("LC_ALL", "", 1);  // set but empty: skipped
  EXPECT_EQ(currentLocaleIdentifier(), "de_AT");
}

}  // namespace
}  // namespace tavrin
