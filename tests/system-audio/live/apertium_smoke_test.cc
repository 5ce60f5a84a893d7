// The real Apertium English-Spanish pair through the persistent pipeline:
// the answers match the stock translator's, line after line, and Apertium's
// reserved characters come through as text.
#include <gtest/gtest.h>

#include "system-audio/live/apertium.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

std::string stockTranslation(const std::string& text) {
  testing::TempDir dir;
  testing::writeFile(dir.file("in"), text + "\n");
  testing::ProcessResult r =
      testing::runProcess({"/bin/sh", "-c", "apertium -u eng-spa < " + dir.file("in")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TEST(ApertiumSmoke, PersistentPipelineAnswersLikeTheStockTranslator) {
  ApertiumTranslationService service;
  ASSERT_EQ(service.status("en", "es"), TranslationAvailability::kInstalled) << "apertium-eng-spa is not installed";
  auto translator = service.open("en", "es");
  for (const std::string line : {"hello everybody", "today we talk about the new budget", "thank you"}) {
    EXPECT_EQ(translator->translate(line), stockTranslation(line)) << line;
  }
  // Reserved characters of the stream format are text here.
  const std::string odd = translator->translate("the cat [is] on the table / chair $5 ^x@y");
  EXPECT_NE(odd.find("[es]"), std::string::npos) << odd;
  EXPECT_NE(odd.find("$5"), std::string::npos) << odd;
  EXPECT_NE(odd.find(" / "), std::string::npos) << odd;
  EXPECT_EQ(translator->translate("hello"), "hola");
}

}  // namespace
}  // namespace tavrin::system_audio
