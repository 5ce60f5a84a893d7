// The Apertium protocol on a stand-in pipeline of GNU sed.
#include <gtest/gtest.h>

#include "system-audio/live/apertium.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(ApertiumFormat, EscapesReservedCharactersAndDropsNul) {
  std::string text = std::string("a[b]^$/@<>{}*#+~\\c") + '\0' + "d";
  EXPECT_EQ(escapeApertium(text), "a\\[b\\]\\^\\$\\/\\@\\<\\>\\{\\}\\*\\#\\+\\~\\\\cd");
  EXPECT_EQ(unescapeApertium(escapeApertium("x/y [z] é")), "x/y [z] é");
  EXPECT_EQ(unescapeApertium("trailing\\"), "trailing\\");
}

class ApertiumServiceTest : public ::testing::Test {
 protected:
  // A stand-in pair "eng-spa" whose stages run in NUL-data mode (-z).
  void installStandIn(const std::string& stages) { writeFile(modes.file("eng-spa.mode"), stages); }

  TempDir modes;
  std::vector<ApertiumPackagedPair> catalog{{"eng", "cat", "apertium-eng-cat"}};
};

TEST_F(ApertiumServiceTest, OnePersistentPipelineTranslatesLineAfterLineWithEscaping) {
  // The second stage prefixes a tally of units seen (the warm-up first): one process per line would say I.
  installStandIn("sed -u s/cat/gato/g | sed -u 'x;s/^/I/;x;G;s/^\\(.*\\)\\o000\\(I*\\)$/\\2 \\1/'");
  ApertiumTranslationService service(modes.path(), catalog);
  auto translator = service.open("en", "es");
  EXPECT_EQ(translator->translate("the cat"), "II The gato");
  EXPECT_EQ(translator->translate("a [cat] / $5 ^x@y."), "III A [gato] / $5 ^x@y.");
  EXPECT_EQ(translator->translate(" two\nlines  i said"), "IIII Two lines I said");
}

TEST_F(ApertiumServiceTest, EachLineIsAnsweredOrFailsInTimeAndTheNextLineRestartsABrokenPipeline) {
  using namespace std::chrono_literals;
  std::string big;
  while (big.size() < (1 << 20)) big += "one more word ";
  const struct {
    std::string stages;  // the stand-in's stages
    std::chrono::milliseconds timeout;
    std::vector<std::pair<std::string, std::string>> lines;  // line, answer or error
  } rows[] = {
      // Without stdbuf -o0 a block-buffered stage would hold the answer back.
      {"sed s/cat/gato/g | sed -u s/x/y/", 5s, {{"a cat", "A gato"}, {"a cat x", "A gato y"}}},
      // It echoes as it reads: a line must be read back while it is still being sent.
      {"head -c 100000000", 20s, {{big, "O" + big.substr(1, big.size() - 2)}}},
      // It quits after its second unit (the warm-up and one line).
      {"sed -u 2q", 5s, {{"one", "One"}, {"two", "The Apertium translator stopped."}, {"three", "Three"}}},
      {"sed -u -n /never/p", 300ms, {{"hello", "The Apertium translator did not answer in time."}}},
  };
  for (const auto& row : rows) {
    installStandIn(row.stages);
    ApertiumTranslationService service(modes.path(), catalog, row.timeout);
    auto translator = service.open("en", "es");
    for (const auto& [line, answer] : row.lines) {
      try {
        EXPECT_EQ(translator->translate(line), answer) << row.stages;
      } catch (const TranslationError& e) {
        EXPECT_EQ(e.what(), answer) << row.stages;
      }
    }
  }
}

}  // namespace
}  // namespace tavrin::system_audio
