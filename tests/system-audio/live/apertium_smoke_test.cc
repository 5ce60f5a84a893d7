// The real English-Spanish pair: the persistent pipeline on recogniser-style lines gives the stock words.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "system-audio/live/apertium.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

TEST(ApertiumSmoke, PersistentPipelineGivesTheStockTranslatorsWords) {
  ApertiumTranslationService service;
  ASSERT_EQ(service.status("en", "es"), TranslationAvailability::kInstalled) << "apertium-eng-spa is not installed";
  std::vector<std::string> lines;
  std::ifstream file(TAVRIN_TRANSLATION_LINES);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 30u);
  // The stock translator, one process per line, as a user would run it.
  const testing::ProcessResult stock = testing::runProcess(
      {"/bin/sh", "-c", "while IFS= read -r l; do printf '%s\\n' \"$l\" | apertium -u eng-spa; done < \"$0\"",
       TAVRIN_TRANSLATION_LINES});
  ASSERT_EQ(stock.exitStatus, 0) << stock.err;
  std::vector<std::string> expected;
  for (size_t at = 0, nl; (nl = stock.out.find('\n', at)) != std::string::npos; at = nl + 1) {
    expected.push_back(tidyTranslation(stock.out.substr(at, nl - at)));
  }
  ASSERT_EQ(expected.size(), lines.size()) << stock.out;
  auto translator = service.open("en", "es");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string spoken = lines[i];
    std::transform(spoken.begin(), spoken.end(), spoken.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(translator->translate(spoken), expected[i]) << lines[i];
  }
  const std::string odd = translator->translate("the cat [is] on the table / chair $5 ^x@y");
  for (const char* kept : {"[es]", "$5", " / "}) EXPECT_NE(odd.find(kept), std::string::npos) << odd;
}

}  // namespace
}  // namespace tavrin::system_audio
