#include "tests/live/fake_live.h"

#include <stdexcept>

namespace tavrin::testing {

class FakeRecognizer final : public speech::Recognizer {
 public:
  FakeRecognizer(RecognizerScript script, std::shared_ptr<uint64_t> frames)
      : script_(std::move(script)), frames_(std::move(frames)) {}

  void setContextualStrings(const std::vector<std::string>&) override {}

  void acceptWaveform(const PcmBuffer& buffer) override {
    std::lock_guard lock(mutex_);
    *frames_ += buffer.frameLength();
    release(false);
  }

  void inputFinished() override {
    std::lock_guard lock(mutex_);
    if (script_.finishFailure) {
      ended_ = true;
      ready_.notify_all();
      throw speech::SpeechServiceError(*script_.finishFailure);
    }
    release(true);
    ended_ = true;
    ready_.notify_all();
  }

  std::optional<speech::RecognitionResult> nextResult() override {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !ready_results_.empty() || ended_; });
    if (failed_) return std::nullopt;
    if (script_.failAt && delivered_ == script_.failAt->first) {
      failed_ = true;
      throw speech::SpeechServiceError(script_.failAt->second);
    }
    if (ready_results_.empty()) return std::nullopt;
    speech::RecognitionResult r = ready_results_.front();
    ready_results_.pop_front();
    ++delivered_;
    return r;
  }

 private:
  void release(bool finishing) {
    while (next_ < script_.results.size()) {
      const ScriptedResult& s = script_.results[next_];
      if (s.afterFrames ? *frames_ < *s.afterFrames : !finishing) break;
      ready_results_.push_back(s.result);
      ++next_;
    }
    ready_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  RecognizerScript script_;
  std::shared_ptr<uint64_t> frames_;
  std::deque<speech::RecognitionResult> ready_results_;
  size_t next_ = 0;
  size_t delivered_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

FakeSpeechService::FakeSpeechService() { equivalents = {{"en_US", "en_US"}, {"en", "en_US"}, {"de_DE", "de_DE"}}; }

std::optional<std::string> FakeSpeechService::supportedLocale(const std::string& id) {
  auto it = equivalents.find(id);
  if (it == equivalents.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> FakeSpeechService::supportedLocales() {
  std::vector<std::string> all;
  for (auto& [k, v] : equivalents) all.push_back(v);
  return all;
}

void FakeSpeechService::installAssets(const std::string&) {
  std::lock_guard lock(mutex_);
  ++installs_;
  if (installFailure) throw speech::SpeechServiceError(*installFailure);
}

std::unique_ptr<speech::Recognizer> FakeSpeechService::makeRecognizer(const std::string& id, speech::ReportingMode) {
  std::lock_guard lock(mutex_);
  if (recognizerFailure) throw speech::SpeechServiceError(*recognizerFailure);
  recognizerLocales_.push_back(id);
  RecognizerScript script;
  if (!scripts.empty()) {
    script = scripts.front();
    scripts.pop_front();
  }
  auto frames = std::make_shared<uint64_t>(0);
  frames_.push_back(frames);
  return std::make_unique<FakeRecognizer>(std::move(script), frames);
}

int FakeSpeechService::installs() const {
  std::lock_guard lock(mutex_);
  return installs_;
}
std::vector<std::string> FakeSpeechService::recognizerLocales() const {
  std::lock_guard lock(mutex_);
  return recognizerLocales_;
}
std::vector<uint64_t> FakeSpeechService::framesFed() const {
  std::lock_guard lock(mutex_);
  std::vector<uint64_t> out;
  for (auto& f : frames_) out.push_back(*f);
  return out;
}

void FakeCapture::start() {
  ++starts_;
  if (startFailure_) {
    stop();
    throw std::runtime_error(*startFailure_);
  }
}

void FakeCapture::stop() {
  ++stops_;
  stream_->finish();
}

void FakeCapture::push(uint32_t frames) {
  PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), frames);
  b->setFrameLength(frames);
  stream_->add(b);
}

namespace {
// Logs its operations into the factory's log.
class LoggedCapture final : public system_audio::AudioCapture {
 public:
  LoggedCapture(std::string name, FakeCaptures& owner, std::optional<std::string> failure,
                std::function<void(FakeCapture&)> onStarted)
      : name_(std::move(name)), owner_(owner), inner_(std::move(failure)), onStarted_(std::move(onStarted)) {}
  void start() override {
    note(".start");
    inner_.start();
    if (onStarted_) onStarted_(inner_);
  }
  void stop() override {
    note(".stop");
    inner_.stop();
  }
  std::shared_ptr<CaptureStream> stream() override { return inner_.stream(); }

 private:
  void note(const char* what) {
    std::lock_guard lock(owner_.mutex);
    owner_.log.push_back(name_ + what);
  }
  std::string name_;
  FakeCaptures& owner_;
  FakeCapture inner_;
  std::function<void(FakeCapture&)> onStarted_;
};
}  // namespace

std::unique_ptr<system_audio::AudioCapture> FakeCaptures::makeSystemCapture(std::function<void()> onDeviceLost) {
  deviceLost = std::move(onDeviceLost);
  return std::make_unique<LoggedCapture>("system", *this, systemFailure, onSystemStarted);
}

std::unique_ptr<system_audio::AudioCapture> FakeCaptures::makeMicCapture(bool voiceProcessing) {
  micVoiceProcessing = voiceProcessing;
  return std::make_unique<LoggedCapture>("mic", *this, micFailure, onMicStarted);
}

}  // namespace tavrin::testing
