// Live recognition on a fake Whisper decoder: utterances found by a guide,
// and one engine shared by two recognizers (also run under ThreadSanitizer).
#include "speech-service/whisper/whisper_live.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "tests/support/samples.h"
#include "tests/support/scripted_speech_service.h"

namespace tavrin::speech {
namespace {

using Results = std::vector<std::tuple<std::string, double, double, bool>>;

// Answers " <samples>/<context>" (translating: " en<samples>/..."); when gated, the first decoding
// starts (awaitStart) and waits for open(). Fails loudly if two decodings overlap.
class FakeDecoder final : public WhisperWindowDecoder {
 public:
  explicit FakeDecoder(bool gated = false) : gated_(gated) {}
  std::vector<WhisperSegment> decode(const float*, size_t n, const WhisperDecodeSettings& s) override {
    EXPECT_FALSE(busy_.exchange(true));
    EXPECT_FALSE(s.fallback || s.timestamps);
    if (std::exchange(gated_, false)) started_.set_value(), opened_.wait();
    calls.push_back(n);
    tasks += s.translate ? 't' : 'r';
    busy_ = false;
    if (n == (s.translate ? failTranslationOn : failOn)) throw SpeechServiceError("decode failed");
    return {{0, 0, (s.translate ? " en" : " ") + std::to_string(n)},
            {0, 0, "/" + std::to_string(s.audioContext) + " "}};
  }
  void open() { opener_.set_value(); }
  void awaitStart() { started_.get_future().wait(); }
  std::vector<size_t> calls;  // read once the engine is idle
  std::string tasks;          // per call: r(ecognize) or t(ranslate)
  size_t failOn = 0, failTranslationOn = 0;

 private:
  std::atomic<bool> busy_{false};
  bool gated_;
  std::promise<void> opener_, started_;
  std::shared_future<void> opened_ = opener_.get_future().share();
};

// Quiet and loud stretches (samples, loud), handed over in 999-sample pieces.
void inPieces(const std::vector<std::pair<size_t, bool>>& spans,
              const std::function<void(const float*, size_t)>& take) {
  std::vector<float> audio;
  for (auto [n, loud] : spans) {
    for (size_t i = 0; i < n; ++i) audio.push_back(loud ? 0.3f * std::sin(0.17f * static_cast<float>(i)) : 0.0f);
  }
  for (size_t at = 0; at < audio.size(); at += 999) take(audio.data() + at, std::min<size_t>(999, audio.size() - at));
}
// By default 1 s quiet, 1 s loud, 1 s quiet, 0.7 s loud.
void feed(Recognizer& r, const std::vector<std::pair<size_t, bool>>& spans = {
                             {16000, false}, {16000, true}, {16000, false}, {11200, true}}) {
  inPieces(spans, [&](const float* samples, size_t n) {
    PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), static_cast<uint32_t>(n));
    b->setFrameLength(static_cast<uint32_t>(n));
    std::copy_n(samples, n, b->floatChannel(0));
    r.acceptWaveform(*b);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // an idle engine takes up the volatiles
  });
  r.inputFinished();
}
Results read(Recognizer& r, bool finalsOnly) {
  Results out;
  while (auto x = r.nextResult()) {
    if (x->isFinal || !finalsOnly) out.emplace_back(x->text, x->start, x->end, x->isFinal);
  }
  return out;
}
// Decodings take no time unless `clock` says otherwise.
std::shared_ptr<WhisperLiveEngine> engineOf(
    std::unique_ptr<FakeDecoder> decoder, WhisperLiveEngine::Clock clock = [] { return 0.0; }) {
  return std::make_shared<WhisperLiveEngine>(std::move(decoder), std::move(clock));
}

// With a guide, the finals are Whisper's text of the guide's utterances, and the volatiles are Whisper's text of the
// open utterance while the engine keeps up, and the guide's once it falls behind.
TEST(WhisperLiveRecognizerTest, GuidedVolatilesAreWhispersWhileTheEngineKeepsUp) {
  for (const bool slow : {false, true}) {
    ScriptedSpeechService guides;
    RecognizerScript script;
    script.results = {{{"a", 1.0, 1.5, false}, 24000},
                      {{"ab", 1.0, 2.0, false}, 32000},
                      {{"abc", 1.0, 3.5, false}, 56000},
                      {{"abcd", 1.0, 4.0, true}, 70000}};
    guides.scripts = {script};
    double now = 0;  // slow: every decoding a second long
    WhisperLiveRecognizer r(engineOf(std::make_unique<FakeDecoder>(), [&] { return slow ? now += 1 : 0; }),
                            guides.makeRecognizer("en_US", ReportingMode::kLive));
    auto results = std::async(std::launch::async, [&] { return read(r, false); });
    feed(r, {{16000, false}, {48000, true}, {32000, false}});
    std::set<std::string> volatiles;
    Results finals;
    for (const auto& [text, start, end, isFinal] : results.get()) {
      if (!isFinal) volatiles.insert(text);
      if (isFinal) finals.emplace_back(text, start, end, isFinal);
    }
    // The guide's final marks the utterance, its times stay.
    EXPECT_EQ(finals, (Results{{"57600/212", 1.0, 4.0, true}}));
    // Fast: Whisper's "<samples>/<context>" texts only. Slow: the first is Whisper's, later ones the guide's.
    EXPECT_EQ(volatiles.count("abc"), slow ? 1u : 0u) << slow;
    EXPECT_EQ(volatiles.count("a") + volatiles.count("ab"), 0u) << slow;
    EXPECT_FALSE(volatiles.empty()) << slow;
  }
}

// Then the English of each final, in order; a failed one costs its line only.
TEST(WhisperLiveEngineTest, FinalsGoFirstInOrderAndVolatilesAreSkippedWhileBusy) {
  auto decoder = std::make_unique<FakeDecoder>(true);
  FakeDecoder& fake = *decoder;
  fake.failTranslationOn = 40000;
  auto engine = std::make_shared<WhisperLiveEngine>(
      std::move(decoder), [] { return 0.0; }, true);
  auto a = std::make_shared<LiveResults>(), b = std::make_shared<LiveResults>();
  a->translateFinals(), b->translateFinals();
  const auto audio = [](size_t n) { return whisperUtterance(std::vector<float>(n), ""); };
  ASSERT_TRUE(engine->offerVolatile(a, 0, audio(20000), {}));
  fake.awaitStart();
  EXPECT_FALSE(engine->offerVolatile(b, 0, audio(21000), {}));  // busy: skipped
  engine->submitFinal(a, a->close(1, 2), audio(30000));
  engine->submitFinal(b, b->close(1, 2), audio(40000));
  fake.open();
  const auto finalA = a->next(), finalB = b->next();
  EXPECT_EQ(finalA->text, "30000/126");  // its volatile came after its final was asked for: dropped
  EXPECT_EQ(finalB->text, "40000/157");
  EXPECT_EQ(finalA->english->wait(), "en30000/126");
  EXPECT_THROW(finalB->english->wait(), SpeechServiceError);
  b->end();
  EXPECT_EQ(b->next(), std::nullopt);
  EXPECT_EQ(fake.calls, (std::vector<size_t>{20000, 30000, 40000, 30000, 40000}));
  EXPECT_EQ(fake.tasks, "rrrtt");
}

}  // namespace
}  // namespace tavrin::speech
