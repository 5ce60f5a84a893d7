// The Whisper side of the speech service on fakes: model files judged whole
// or damaged, model lookup, locale routing, and the windowing of the audio.
// (A damaged model as the program reports it: models_e2e_test.)
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "speech-service/routing/routed_speech_service.h"
#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "speech-service/whisper/whisper_service.h"
#include "tests/support/scripted_speech_service.h"
#include "tests/support/speech_samples.h"

namespace tavrin::speech {
namespace {

using testing::readFile;
using testing::writeFile;

std::string microModel(const std::string& path, bool multilingual = false) {
  testmodel::WhisperTestModel model;
  model.hparams = testmodel::whisperMicroHparams();
  model.hparams.nVocab += multilingual ? 1 : 0;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  testmodel::writeWhisperTestModel(path, model);
  return path;
}

TEST(WhisperModelTest, DamageIsNamed) {
  testing::TempDir dir;
  const std::string whole = readFile(microModel(dir.file("whole.bin")));
  const size_t vocab = 4 + 44 + 8 + 80 * 201 * 4;                           // the vocabulary's count
  const size_t tensors = whole.rfind("encoder.positional_embedding") - 20;  // its 2-dimensional header
  const auto set32 = [](std::string s, size_t at, int32_t v) {
    return s.replace(at, 4, reinterpret_cast<char*>(&v), 4);
  };
  std::string noBlank = whole;
  noBlank[noBlank.find(std::string("\x01\0\0\0 ", 5), vocab) + 4] = 'x';
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {whole, std::nullopt},
      {set32(whole, 0, 0x67676d6d), "it is not a ggml model file"},
      {set32(whole, 4 + 6 * 4, 16), "its hyper-parameters are out of range"},  // text state ≠ audio state
      {set32(whole, 4 + 10 * 4, 5), "its weight type is not supported"},
      {set32(whole, 4 + 44, 81), "its mel filters are malformed"},
      {set32(whole, vocab, 60000), "its vocabulary is malformed"},
      {noBlank, "its vocabulary has no blank token"},
      {set32(whole, tensors, 5), "its tensor table is malformed"},
      {whole.substr(0, tensors), "it ends early"},  // the engine would run it as an empty model
      {std::string(whole).replace(tensors + 20, 7, "decoded"), "it holds a tensor the engine does not know"},
      {set32(whole, tensors + 12, 5), "a tensor has the wrong shape or type"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    writeFile(dir.file("m.bin"), rows[i].first);
    EXPECT_EQ(whisperModelDamage(dir.file("m.bin")), rows[i].second) << "row " << i;
  }
}

class FakeDecoder final : public WhisperWindowDecoder {
 public:
  explicit FakeDecoder(std::vector<std::vector<WhisperSegment>> script) : script_(std::move(script)) {}
  std::vector<WhisperSegment> decode(const float*, size_t n, const WhisperDecodeSettings& settings) override {
    prompt = settings.prompt;
    windows.push_back(n);
    contexts.push_back(settings.audioContext);
    if (windows.size() > script_.size()) throw SpeechServiceError("decode failed");
    return script_[windows.size() - 1];
  }
  std::string prompt;
  std::vector<size_t> windows;
  std::vector<int> contexts;  // encoder frames of each window; 0: the whole 30 s

 private:
  std::vector<std::vector<WhisperSegment>> script_;
};

class FakeEngine final : public WhisperEngine {
 public:
  bool usable() override { return ++asked, isUsable; }
  std::vector<std::string> languages() override { return {"en", "de", "ja", "jw"}; }
  std::unique_ptr<WhisperWindowDecoder> load(const std::string& path, const std::string& language, bool) override {
    loaded.push_back(path + ":" + language);
    return std::make_unique<FakeDecoder>(std::vector<std::vector<WhisperSegment>>{});
  }
  bool isUsable = true;
  int asked = 0;
  std::vector<std::string> loaded;
};

TEST(WhisperServiceTest, ModelsInSearchOrderServeTheirLocalesAheadOfTheBuiltInEngine) {
  testing::TempDir home, system;
  const std::string en = microModel(home.file("tavrin/speech/whisper/b.bin"));
  const std::string multi = microModel(system.file("tavrin/speech/whisper/a.bin"), true);
  writeFile(home.file("tavrin/speech/whisper/a.bin"), "<html>");  // not a model: passed over
  const std::vector<WhisperModel> found = findWhisperModels({home.path(), {"/nonexistent", system.path()}, "", ""});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_TRUE(found[0].path == en && !found[0].multilingual && found[1].path == multi && found[1].multilingual);
  struct Row {
    std::vector<WhisperModel> models;
    bool usable;
    std::string requested;
    std::optional<std::string> locale;
    std::string loaded;
  };
  const std::vector<Row> rows = {{found, true, "en-GB", "en_GB", en + ":en"},
                                 {{found[0]}, true, "de_DE", std::nullopt, ""},
                                 {found, true, "ja-JP", "ja_JP", multi + ":ja"},
                                 {found, true, "jv", "jv", multi + ":jw"},
                                 {found, true, "xx", std::nullopt, ""},
                                 {found, false, "de", std::nullopt, ""},
                                 {{}, true, "en", std::nullopt, ""}};
  for (const Row& row : rows) {
    auto engine = std::make_unique<FakeEngine>();
    FakeEngine& fake = *engine;
    fake.isUsable = row.usable;
    WhisperSpeechService whisper(row.models, std::move(engine));
    ScriptedSpeechService builtIn;
    RoutedSpeechService routed(whisper, builtIn);
    EXPECT_EQ(routed.supportedLocale(row.requested), row.locale ? row.locale : builtIn.supportedLocale(row.requested));
    EXPECT_EQ(fake.asked, row.models.empty() ? 0 : 1);  // no model: the library is not even loaded
    if (!row.locale) continue;
    EXPECT_EQ(routed.assetStatus(*row.locale), AssetStatus::kInstalled);
    routed.makeRecognizer(*row.locale, ReportingMode::kTranscription);
    // Live recognizers share one loaded model while they live.
    auto live1 = routed.makeRecognizer(*row.locale, ReportingMode::kLive);
    auto live2 = routed.makeRecognizer(*row.locale, ReportingMode::kLive);
    EXPECT_EQ(fake.loaded, std::vector<std::string>(2, row.loaded));
    EXPECT_TRUE(builtIn.recognizers().empty());
  }
  ScriptedSpeechService builtIn;
  builtIn.locales = {{"en_US", AssetStatus::kInstalled}, {"de_DE", AssetStatus::kSupported}};
  WhisperSpeechService whisper(found, std::make_unique<FakeEngine>());
  EXPECT_EQ(RoutedSpeechService(whisper, builtIn).supportedLocales(),
            (std::vector<std::string>{"en_US", "de_DE", "ja", "jv"}));
}

// Syllables: 0.1 s of a loud tone, 0.1 s of nothing.
std::vector<float> speechLike(size_t samples, float amplitude = 0.3f) {
  std::vector<float> v(samples);
  for (size_t i = 0; i < samples; ++i)
    v[i] = (i / 1600) % 2 == 0 ? amplitude * std::sin(0.2f * static_cast<float>(i)) : 0;
  return v;
}

PcmBufferPtr bufferOf(const std::vector<float>& samples) {
  PcmBufferPtr buffer = PcmBuffer::create(PcmFormat::float32(16000, 1), static_cast<uint32_t>(samples.size()));
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer->floatChannel(0));
  return buffer;
}

// Only stretches that hold speech reach the engine, packed into windows; their segments keep their place in the audio.
TEST(WhisperRecognizerTest, OnlyStretchesOfSpeechAreDecodedAtTheirPlace) {
  std::vector<float> noise(20 * 16000);
  uint32_t seed = 7;
  for (float& v : noise)
    v = 0.4f * (static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f);
  const auto between = [](std::vector<float> around, size_t at, const std::vector<float>& speech) {
    for (size_t i = 0; i < speech.size(); ++i) around[at + i] += speech[i];
    return around;
  };
  struct Row {
    std::string name;
    std::vector<float> audio;
    std::vector<size_t> windows;  // samples given to the engine
    std::vector<double> starts;   // of the engine's segments of each window
    std::vector<WhisperSegment> segments = {{0, 10, "x"}};
  };
  const std::vector<Row> rows = {
      {"silence", std::vector<float>(20 * 16000), {}, {}},
      {"steady noise", noise, {}, {}},
      // 2 s of speech at 10 s: from 0.3 s and 8 frames before it to 0.3 s after its last loud frame (11.9 s).
      {"speech in silence", between(std::vector<float>(20 * 16000), 160000, speechLike(32000)), {40800}, {9.65}},
      {"speech in noise", between(noise, 160000, speechLike(32000, 0.9f)), {40800}, {9.65}},
      // 0.3 s of speech: padded to the engine's shortest input.
      {"a short word", between(std::vector<float>(5 * 16000), 16000, speechLike(4800)), {kShortestInput}, {0.65}},
      // Two stretches 10 s apart share one window, the silence between them cut to 0.68 s: the second one's
      // segment (at 1.55 s of the window) is at its place in the input.
      {"two stretches",
       between(between(std::vector<float>(15 * 16000), 32000, speechLike(16000)), 192000, speechLike(16000)),
       {49600},
       {1.65, 11.65},
       {{0, 10, "x"}, {155, 165, "y"}}},
      // Speech to the end of the input: decoded when the input ends.
      {"speech at the end", between(std::vector<float>(5 * 16000), 48000, speechLike(32000)), {37600}, {2.65}}};
  for (const Row& row : rows) {
    std::vector<std::vector<WhisperSegment>> script(row.windows.size(), row.segments);
    auto decoder = std::make_unique<FakeDecoder>(script);
    FakeDecoder& fake = *decoder;
    WhisperRecognizer recognizer(std::move(decoder));
    // In pieces that do not fall on the detector's frames.
    for (size_t at = 0; at < row.audio.size(); at += 1001) {
      const auto from = row.audio.begin() + static_cast<std::ptrdiff_t>(at);
      recognizer.acceptWaveform(
          *bufferOf({from, from + static_cast<std::ptrdiff_t>(std::min<size_t>(1001, row.audio.size() - at))}));
    }
    recognizer.inputFinished();
    std::vector<double> starts;
    while (auto r = recognizer.nextResult()) starts.push_back(r->start);
    EXPECT_EQ(fake.windows, row.windows) << row.name;
    EXPECT_EQ(starts, row.starts) << row.name;
  }
}

TEST(WhisperRecognizerTest, WindowsOf30sWithTheLastSegmentOfAFullWindowDecodedAgain) {
  // Windows: 0-30 s (its last segment, from 20 s, goes again), 20-50 s, 50-75 s.
  auto decoder = std::make_unique<FakeDecoder>(std::vector<std::vector<WhisperSegment>>{
      {{0, 1000, "a"}, {2000, 3100, "cut"}}, {{0, 400, "b"}, {500, 4000, "c"}}, {{-50, 300, "d"}, {200, 2600, "e"}}});
  FakeDecoder& fake = *decoder;
  WhisperRecognizer recognizer(std::move(decoder));
  recognizer.setContextualStrings({"Tavrin", "", "Q3 budget"});
  const PcmBufferPtr chunk = bufferOf(speechLike(240000));
  for (int i = 0; i < 5; ++i) recognizer.acceptWaveform(*chunk);
  recognizer.inputFinished();
  std::vector<std::tuple<std::string, double, double>> results;
  while (auto r = recognizer.nextResult()) results.emplace_back(r->text, r->start, r->end);
  EXPECT_EQ(fake.prompt, "Tavrin, Q3 budget");
  EXPECT_EQ(fake.windows, (std::vector<size_t>{480000, 480000, 400000}));
  EXPECT_EQ(fake.contexts, (std::vector<int>{0, 0, 1250 + kAudioContextMargin}));  // the last one: its 25 s
  EXPECT_EQ(results, (std::vector<std::tuple<std::string, double, double>>{
                         {"a", 0, 10}, {"b", 20, 24}, {"c", 25, 50}, {"d", 50, 53}, {"e", 52, 75}}));
  WhisperRecognizer failing(std::make_unique<FakeDecoder>(std::vector<std::vector<WhisperSegment>>{}));
  failing.acceptWaveform(*chunk);
  EXPECT_THROW(failing.acceptWaveform(*chunk), SpeechServiceError);
  EXPECT_THROW(failing.nextResult(), SpeechServiceError);
  EXPECT_EQ(failing.nextResult(), std::nullopt);
}

}  // namespace
}  // namespace tavrin::speech
