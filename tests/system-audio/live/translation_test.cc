// Language codes, the availability rules, the translation-status reply, and
// the Apertium pipeline's protocol (on a stand-in pipeline made of GNU sed,
// which speaks the same NUL-delimited, flush-per-unit protocol).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "system-audio/live/apertium.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "system-audio/commands/translation_status.h"
#include "tests/system-audio/live/fake_translation.h"
#include "tests/support/subprocess.h"

namespace tavrin::system_audio {
namespace {

using testing::FakeTranslationService;
using testing::TempDir;
using testing::writeFile;

TEST(TranslationLanguages, CodesComeFromIcuAndIgnoreRegions) {
  EXPECT_EQ(languageCode("en_US"), "en");
  EXPECT_EQ(languageCode("pt-BR"), "pt");
  EXPECT_EQ(languageCode("deu"), "de");  // ISO 639-3 with a two-letter form
  EXPECT_EQ(languageCode("ast"), "ast");
  EXPECT_EQ(languageCode(""), std::nullopt);
  EXPECT_EQ(languageCode("_US"), std::nullopt);
  EXPECT_EQ(languageCode("und"), std::nullopt);
  EXPECT_TRUE(sameLanguage(std::nullopt, std::nullopt));
  EXPECT_TRUE(sameLanguage("de", "de"));
  EXPECT_FALSE(sameLanguage("de", std::nullopt));
  EXPECT_FALSE(sameLanguage("de", "en"));
}

TEST(TranslationStatusCommand, SameLanguageComparesCodesOnlyElseTheServiceDecides) {
  FakeTranslationService service;
  service.setStatus("en", "pt", TranslationAvailability::kSupported);
  service.setStatus("en", "de", TranslationAvailability::kInstalled);
  const struct {
    std::optional<std::string> source;
    std::string target, current, reply;
  } rows[] = {
      {"de", "de-AT", "en_US", R"({"status":"sameLanguage","source":"de","target":"de-AT"})"},
      {"en-GB", "en", "fr_FR", R"({"status":"sameLanguage","source":"en_GB","target":"en"})"},
      {std::nullopt, "pt-BR", "en_US", R"({"status":"needsDownload","source":"en_US","target":"pt-BR"})"},
      {"", "de", "en_US", R"({"status":"installed","source":"en_US","target":"de"})"},
      {std::nullopt, "xx", "en_US", R"({"status":"unsupported","source":"en_US","target":"xx"})"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(encodeReply(translationStatus(row.source, row.target, service, row.current)), row.reply);
  }
  EXPECT_EQ(service.statusQueries(), 3);
}

TEST(ApertiumFormat, EscapesReservedCharactersAndDropsNul) {
  std::string text = std::string("a[b]^$/@<>{}*#+~\\c") + '\0' + "d";
  EXPECT_EQ(escapeApertium(text), "a\\[b\\]\\^\\$\\/\\@\\<\\>\\{\\}\\*\\#\\+\\~\\\\cd");
  EXPECT_EQ(unescapeApertium(escapeApertium("x/y [z] é")), "x/y [z] é");
  EXPECT_EQ(unescapeApertium("trailing\\"), "trailing\\");
}

TEST(ApertiumFormat, LinesGoInCapitalisedAndAnswersComeOutTidy) {
  for (const auto& [line, prepared] : std::vector<std::pair<std::string, std::string>>{
           {"i have a question", "I have a question"},
           {"so i'm here, i'll go (i) via i/o", "So I'm here, I'll go (I) via I/o"},
           {"in italy i think", "In italy I think"},
           {"", ""}}) {
    EXPECT_EQ(prepareForTranslation(line, true), prepared);
  }
  EXPECT_EQ(prepareForTranslation("  über i", false), "  Über i");  // "i" is a word of other languages
  EXPECT_EQ(unitOfLine("a [b]", false), "A \\[b\\].[][\n]");
  for (const auto& [answer, shown] : std::vector<std::pair<std::string, std::string>>{
           {" Hoy  hablamos \n de.[][\n]", "Hoy hablamos de"},
           {"Es vale..[][\n]", "Es vale."},
           {"A \\[b\\].[][\n]", "A [b]"},
           {" \n ", ""}}) {
    EXPECT_EQ(translationOfAnswer(answer), shown);
  }
}

TEST(ApertiumFormat, PipelineRunsEveryStageUnbufferedInNullFlushMode) {
  std::string mode =
      "lt-proc '/p/a b.bin' | apertium-tagger -g $2 '/p/x|y.prob' |\n lt-proc $1 '/p/gen.bin' | lt-proc -p '/p/pgen.bin'\n";
  EXPECT_EQ(nullFlushPipeline(mode),
            "stdbuf -o0 lt-proc -z '/p/a b.bin' | stdbuf -o0 apertium-tagger -z -g  '/p/x|y.prob' | "
            "stdbuf -o0 lt-proc -z -n '/p/gen.bin' | stdbuf -o0 lt-proc -z -p '/p/pgen.bin'");
}

class ApertiumServiceTest : public ::testing::Test {
 protected:
  // A stand-in pair "eng-spa" whose stages run in NUL-data mode (-z).
  void installStandIn(const std::string& stages) { writeFile(modes.file("eng-spa.mode"), stages); }

  TempDir modes;
  std::vector<ApertiumPackagedPair> catalog{{"eng", "cat", "apertium-eng-cat"}};
};

TEST_F(ApertiumServiceTest, AvailabilityFollowsModeFilesAndTheCatalog) {
  installStandIn("sed -u s/cat/gato/g");
  ApertiumTranslationService service(modes.path(), catalog);
  EXPECT_EQ(service.status("en", "es"), TranslationAvailability::kInstalled);  // two-letter codes find eng-spa
  EXPECT_EQ(service.status("eng", "spa"), TranslationAvailability::kInstalled);
  EXPECT_EQ(service.status("es", "en"), TranslationAvailability::kUnsupported);
  EXPECT_EQ(service.status("en", "ca"), TranslationAvailability::kSupported);
  EXPECT_EQ(service.packageFor("en", "ca"), "apertium-eng-cat");
  EXPECT_EQ(service.status(std::nullopt, "ca"), TranslationAvailability::kUnsupported);
  EXPECT_THROW(service.open("en", "ca"), TranslationError);
}

TEST_F(ApertiumServiceTest, OnePersistentPipelineTranslatesLineAfterLineWithEscaping) {
  // The second stage puts a tally of the units it has seen (the warm-up is
  // the first) before each: a persistent process answers II, III, IIII; a
  // process per line would always answer I.
  installStandIn("sed -u s/cat/gato/g | sed -u 'x;s/^/I/;x;G;s/^\\(.*\\)\\o000\\(I*\\)$/\\2 \\1/'");
  ApertiumTranslationService service(modes.path(), catalog);
  auto translator = service.open("en", "es");
  EXPECT_EQ(translator->translate("the cat"), "II The gato");
  EXPECT_EQ(translator->translate("a [cat] / $5 ^x@y."), "III A [gato] / $5 ^x@y.");
  EXPECT_EQ(translator->translate(" two\nlines  i said"), "IIII Two lines I said");
}

TEST_F(ApertiumServiceTest, AStageThatBuffersStillAnswersEachLine) {
  // Without stdbuf -o0 a block-buffered stage would hold the answer back and
  // the round trip would time out.
  installStandIn("sed s/cat/gato/g | sed -u s/x/y/");
  ApertiumTranslationService service(modes.path(), catalog, std::chrono::seconds(5));
  auto translator = service.open("en", "es");
  EXPECT_EQ(translator->translate("a cat"), "A gato");
  EXPECT_EQ(translator->translate("a cat x"), "A gato y");
}

TEST_F(ApertiumServiceTest, ALineLargerThanThePipesDoesNotBlock) {
  // The stand-in echoes as it reads: a line must be read back while it is
  // still being sent.
  installStandIn("head -c 100000000");
  ApertiumTranslationService service(modes.path(), catalog, std::chrono::seconds(20));
  auto translator = service.open("en", "es");
  std::string line;
  while (line.size() < (1 << 20)) line += "one more word ";
  EXPECT_EQ(translator->translate(line), "O" + line.substr(1, line.size() - 2));
}

TEST_F(ApertiumServiceTest, ABrokenPipelineFailsTheLineAndTheNextLineRestartsIt) {
  // The stage quits after its second unit (the warm-up and one line).
  installStandIn("sed -u 2q");
  ApertiumTranslationService service(modes.path(), catalog, std::chrono::seconds(5));
  auto translator = service.open("en", "es");
  EXPECT_EQ(translator->translate("one"), "One");
  EXPECT_THAT([&] { translator->translate("two"); },
              ::testing::ThrowsMessage<TranslationError>(::testing::StrEq("The Apertium translator stopped.")));
  EXPECT_EQ(translator->translate("three"), "Three");  // a fresh pipeline
}

TEST_F(ApertiumServiceTest, APipelineThatNeverAnswersTimesOut) {
  installStandIn("sed -u -n /never/p");
  ApertiumTranslationService service(modes.path(), catalog, std::chrono::milliseconds(300));
  auto translator = service.open("en", "es");
  EXPECT_THAT([&] { translator->translate("hello"); },
              ::testing::ThrowsMessage<TranslationError>(::testing::StrEq("The Apertium translator did not answer in time.")));
}

}  // namespace
}  // namespace tavrin::system_audio
