// The Whisper side of the speech service on fakes: model files judged whole
// or damaged, model lookup, locale routing, and the windowing of the audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "speech-service/scripted_speech_service.h"
#include "speech-service/testmodel/whisper_testmodel.h"
#include "speech-service/whisper_service.h"
#include "tests/support/speech_samples.h"

namespace tavrin::speech {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

PcmBufferPtr seconds(double s) {
  const auto frames = static_cast<uint32_t>(s * 16000);
  PcmBufferPtr buffer = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  std::fill_n(buffer->floatChannel(0), frames, 0.1f);
  buffer->setFrameLength(frames);
  return buffer;
}

std::string microModel(const TempDir& dir, const std::string& name, bool multilingual = false) {
  testmodel::WhisperTestModel model;
  model.hparams = testmodel::whisperMicroHparams();
  if (multilingual) ++model.hparams.nVocab;
  const std::string path = dir.file(name);
  testmodel::writeWhisperTestModel(path, model);
  return path;
}

TEST(WhisperModelTest, DamageIsNamed) {
  TempDir dir;
  const std::string whole = readFile(microModel(dir, "whole.bin"));
  const size_t vocab = 4 + 44 + 8 + 80 * 201 * 4;  // the vocabulary's count
  const size_t tensors = whole.rfind("encoder.positional_embedding") - 20;  // its 2-dimensional header
  const auto set32 = [](std::string s, size_t at, int32_t v) { return s.replace(at, 4, std::string(reinterpret_cast<char*>(&v), 4)); };
  const auto blankGone = [&] { std::string s = whole; s[s.find(std::string("\x01\0\0\0 ", 5), vocab) + 4] = 'x'; return s; };
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {whole, std::nullopt},
      {whole.substr(0, 30), "it is not a ggml model file"},
      {set32(whole, 0, 0x67676d6d), "it is not a ggml model file"},
      {set32(whole, 4, 7), "its hyper-parameters are out of range"},
      {set32(whole, 4 + 6 * 4, 16), "its hyper-parameters are out of range"},  // text state ≠ audio state
      {set32(whole, 4 + 10 * 4, 5), "its weight type is not supported"},
      {set32(whole, 4 + 44, 81), "its mel filters are malformed"},
      {whole.substr(0, vocab + 100), "it ends early"},
      {set32(whole, vocab, 60000), "its vocabulary is malformed"},
      {blankGone(), "its vocabulary has no blank token"},
      {set32(whole, tensors, 5), "its tensor table is malformed"},
      {whole.substr(0, tensors), "it ends early"},
      {whole.substr(0, whole.size() - 1), "it ends early"},
      {whole + "x", "it ends early"},
      {std::string(whole).replace(tensors + 12 + 8, 7, "decoded"), "it holds a tensor the engine does not know"},
      {set32(whole, tensors + 12, 5), "a tensor has the wrong shape or type"},
      {set32(whole, tensors + 8, 1), "a tensor has the wrong shape or type"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    writeFile(dir.file("m.bin"), rows[i].first);
    EXPECT_EQ(whisperModelDamage(dir.file("m.bin")), rows[i].second) << "row " << i;
  }
}

TEST(WhisperModelTest, ModelsAreFoundInSearchOrderByWhatTheirHeaderSays) {
  TempDir home, system;
  for (const std::string& d : {home.path(), system.path()}) std::filesystem::create_directories(d + "/tavrin/speech/whisper");
  microModel(home, "tavrin/speech/whisper/b.bin");
  microModel(home, "tavrin/speech/whisper/a.bin", true);
  microModel(system, "tavrin/speech/whisper/c.bin");
  writeFile(home.file("tavrin/speech/whisper/download.html.bin"), "<html>");
  writeFile(home.file("tavrin/speech/whisper/notes.txt"), readFile(system.file("tavrin/speech/whisper/c.bin")));
  ModelSearchPaths paths;
  paths.dataHome = home.path();
  paths.dataDirs = {system.path(), "/nonexistent"};
  std::vector<std::pair<std::string, bool>> found;
  for (const WhisperModel& m : findWhisperModels(paths)) found.emplace_back(m.path, m.multilingual);
  EXPECT_EQ(found, (std::vector<std::pair<std::string, bool>>{{home.file("tavrin/speech/whisper/a.bin"), true},
                                                               {home.file("tavrin/speech/whisper/b.bin"), false},
                                                               {system.file("tavrin/speech/whisper/c.bin"), false}}));
}

// Decodes by script: each window's segments, recorded with the window's size.
class FakeDecoder final : public WhisperWindowDecoder {
 public:
  FakeDecoder(std::vector<std::vector<WhisperSegment>> script, std::vector<size_t>& windows)
      : script_(std::move(script)), windows_(windows) {}
  void setPrompt(const std::string& prompt) override { prompt_ = prompt; }
  std::vector<WhisperSegment> decode(const float*, size_t n) override {
    windows_.push_back(n);
    if (windows_.size() > script_.size()) throw SpeechServiceError("decode failed");
    return script_[windows_.size() - 1];
  }
  std::string prompt_;

 private:
  std::vector<std::vector<WhisperSegment>> script_;
  std::vector<size_t>& windows_;
};

class FakeEngine final : public WhisperEngine {
 public:
  bool usable() override { return ++asked, isUsable; }
  std::vector<std::string> languages() override { return {"en", "de", "ja", "jw"}; }
  std::unique_ptr<WhisperWindowDecoder> load(const std::string& path, const std::string& language) override {
    loaded.push_back(path + ":" + language);
    return std::make_unique<FakeDecoder>(std::vector<std::vector<WhisperSegment>>{}, windows);
  }
  bool isUsable = true;
  int asked = 0;
  std::vector<std::string> loaded;
  std::vector<size_t> windows;
};

TEST(WhisperServiceTest, LocalesGoToTheFirstModelThatServesThem) {
  TempDir dir;
  const WhisperModel english{microModel(dir, "en.bin"), false}, multi{microModel(dir, "multi.bin", true), true};
  struct Row {
    std::vector<WhisperModel> models;
    bool usable;
    std::string requested;
    std::optional<std::string> locale;
    std::string loaded;
  };
  const std::vector<Row> rows = {
      {{english}, true, "en-GB", "en_GB", english.path + ":en"},  {{english}, true, "de_DE", std::nullopt, ""},
      {{english, multi}, true, "en", "en", english.path + ":en"}, {{english, multi}, true, "ja-JP", "ja_JP", multi.path + ":ja"},
      {{multi}, true, "jv", "jv", multi.path + ":jw"},              {{multi}, true, "xx", std::nullopt, ""},
      {{multi}, false, "de", std::nullopt, ""},                     {{}, true, "en", std::nullopt, ""}};
  for (const Row& row : rows) {
    auto engine = std::make_unique<FakeEngine>();
    FakeEngine& fake = *engine;
    fake.isUsable = row.usable;
    WhisperSpeechService whisper(row.models, std::move(engine));
    ScriptedSpeechService builtIn;
    RoutedSpeechService routed(whisper, builtIn);
    EXPECT_EQ(whisper.supportedLocale(row.requested), row.locale) << row.requested;
    if (row.models.empty()) {
      EXPECT_EQ(fake.asked, 0);  // no model: the library is not even loaded
    }
    if (!row.locale) continue;
    EXPECT_EQ(routed.assetStatus(*row.locale), AssetStatus::kInstalled);
    routed.makeRecognizer(*row.locale, ReportingMode::kTranscription);
    EXPECT_EQ(fake.loaded, std::vector<std::string>{row.loaded});
    EXPECT_TRUE(builtIn.recognizers().empty());
  }
}

TEST(WhisperServiceTest, SupportedLocalesAddOnlyNewLanguagesAndADamagedModelIsNotInstalled) {
  TempDir dir;
  const WhisperModel multi{microModel(dir, "multi.bin", true), true};
  WhisperSpeechService whisper({multi}, std::make_unique<FakeEngine>());
  ScriptedSpeechService builtIn;
  builtIn.locales = {{"en_US", AssetStatus::kInstalled}, {"de_DE", AssetStatus::kSupported}};
  EXPECT_EQ(RoutedSpeechService(whisper, builtIn).supportedLocales(), (std::vector<std::string>{"en_US", "de_DE", "ja", "jv"}));
  writeFile(multi.path, readFile(multi.path).substr(0, 5000));
  WhisperSpeechService damaged({multi}, std::make_unique<FakeEngine>());
  EXPECT_EQ(damaged.assetStatus("ja"), AssetStatus::kSupported);
  const std::string message = "The Whisper model " + multi.path + " is damaged: it ends early.";
  EXPECT_THROW({ try { damaged.installAssets("ja"); } catch (const SpeechServiceError& e) { EXPECT_EQ(e.what(), message); throw; } }, SpeechServiceError);
}

TEST(WhisperRecognizerTest, WindowsOf30sWithTheLastSegmentOfAFullWindowDecodedAgain) {
  std::vector<size_t> windows;
  // Window 1 (0-30 s): its last segment starts at 20 s and is decoded again
  // at the head of window 2 (20-50 s). Window 2: its last segment starts at
  // 5 s, before the half, so it stays. Window 3: the rest (50-75 s).
  auto decoder = std::make_unique<FakeDecoder>(
      std::vector<std::vector<WhisperSegment>>{{{0, 1000, "a"}, {2000, 3100, "cut"}},
                                               {{0, 400, "b"}, {500, 4000, "c"}},
                                               {{-50, 300, "d"}, {200, 2600, "e"}}},
      windows);
  FakeDecoder& fake = *decoder;
  WhisperRecognizer recognizer(std::move(decoder));
  recognizer.setContextualStrings({"Tavrin", "", "Q3 budget"});
  for (int i = 0; i < 5; ++i) recognizer.acceptWaveform(*seconds(15));
  recognizer.inputFinished();
  std::vector<std::tuple<std::string, double, double>> results;
  while (auto r = recognizer.nextResult()) results.emplace_back(r->text, r->start, r->end);
  EXPECT_EQ(fake.prompt_, "Tavrin, Q3 budget");
  EXPECT_EQ(windows, (std::vector<size_t>{480000, 480000, 400000}));
  EXPECT_EQ(results, (std::vector<std::tuple<std::string, double, double>>{
                         {"a", 0, 10}, {"b", 20, 24}, {"c", 25, 50}, {"d", 50, 53}, {"e", 52, 75}}));
}

TEST(WhisperRecognizerTest, AnEngineFailureEndsTheSequenceWithIt) {
  std::vector<size_t> windows;
  WhisperRecognizer recognizer(std::make_unique<FakeDecoder>(std::vector<std::vector<WhisperSegment>>{}, windows));
  EXPECT_THROW(recognizer.acceptWaveform(*seconds(30)), SpeechServiceError);
  EXPECT_THROW(recognizer.nextResult(), SpeechServiceError);
  EXPECT_EQ(recognizer.nextResult(), std::nullopt);
  recognizer.inputFinished();
  EXPECT_EQ(windows.size(), 1u);
}

}  // namespace
}  // namespace tavrin::speech
