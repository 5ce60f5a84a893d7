#include "speech-service/whisper/whisper_live.h"

#include <algorithm>
#include <cmath>

namespace tavrin::speech {

namespace {

constexpr double kRate = 16000;
constexpr size_t kFrameSamples = 160;             // 10 ms
constexpr uint64_t kLead = 4800;                  // audio before an utterance's start: 0.3 s
constexpr uint64_t kTail = 4800;                  // and after its end: the quiet that ended it
constexpr uint64_t kKept = 60 * 16000;            // audio kept at most
constexpr uint64_t kKeptBetween = 16000 + kLead;  // between utterances: enough for the next one's lead
constexpr int kLoudFramesToStart = 5;             // of the last 8
constexpr int kQuietFramesToEnd = 30;

uint64_t toSamples(double seconds) {
  return std::isfinite(seconds) && seconds > 0 ? static_cast<uint64_t>(seconds * kRate) : 0;
}
double toSeconds(uint64_t samples) {
  return static_cast<double>(samples) / kRate;
}

}  // namespace

WhisperUtterance whisperUtterance(std::vector<float> samples, std::string prompt) {
  if (samples.size() < kShortestInput) samples.resize(kShortestInput, 0.0f);
  WhisperDecodeSettings settings{whisperAudioContext(samples.size()), false, false, std::move(prompt)};
  return {std::move(samples), std::move(settings)};
}

std::string utteranceText(const std::vector<WhisperSegment>& segments) {
  std::string text;
  for (const WhisperSegment& s : segments) text += s.text;
  const auto space = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  const auto first = std::find_if_not(text.begin(), text.end(), space);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), space).base();
  return first < last ? std::string(first, last) : std::string();
}

// --- SpeechSegmenter ---

std::vector<SpeechSegmenter::Event> SpeechSegmenter::feed(const float* samples, size_t n) {
  std::vector<Event> events;
  size_t at = 0;
  if (!partial_.empty()) {
    const size_t take = std::min(n, kFrameSamples - partial_.size());
    partial_.insert(partial_.end(), samples, samples + take);
    at = take;
    if (partial_.size() < kFrameSamples) return events;
    frame(partial_.data(), events);
    partial_.clear();
  }
  for (; at + kFrameSamples <= n; at += kFrameSamples) frame(samples + at, events);
  partial_.assign(samples + at, samples + n);
  return events;
}

void SpeechSegmenter::frame(const float* samples, std::vector<Event>& events) {
  double energy = 0;
  for (size_t i = 0; i < kFrameSamples; ++i) {
    const double v = std::isfinite(samples[i]) ? samples[i] : 0.0;
    energy += v * v;
  }
  const double db = 10 * std::log10(energy / kFrameSamples + 1e-10);
  // Loud: well above the noise floor and not near digital silence.
  const bool loud = db > std::max(floor_ + 12, -50.0);
  // The floor follows quiet stretches quickly down and slowly up; speech
  // does not move it.
  if (!inUtterance_ && !loud) floor_ = db < floor_ ? db : floor_ + 0.02 * (db - floor_);
  recent_ = ((recent_ << 1) | (loud ? 1u : 0u)) & 0xffu;
  const uint64_t frameStart = frames_ * kFrameSamples;
  ++frames_;
  if (!inUtterance_) {
    if (__builtin_popcount(recent_) >= kLoudFramesToStart) {
      inUtterance_ = true;
      quiet_ = 0;
      // It started at the oldest loud frame of the last 8.
      const int back = 31 - __builtin_clz(recent_);
      start_ = frameStart - static_cast<uint64_t>(back) * kFrameSamples;
      events.push_back({true, start_});
    }
    return;
  }
  quiet_ = loud ? 0 : quiet_ + 1;
  const uint64_t end = frames_ * kFrameSamples;
  if (quiet_ >= kQuietFramesToEnd || end - start_ >= toSamples(kMaxSeconds)) {
    inUtterance_ = false;
    recent_ = 0;
    events.push_back({false, end - static_cast<uint64_t>(quiet_) * kFrameSamples});
  }
}

// --- LiveResults ---

void LiveResults::addVolatile(uint64_t utterance, RecognitionResult result) {
  {
    std::lock_guard lock(mutex_);
    if (utterance != open_ || ended_ || failed_) return;
    slots_.push_back({std::move(result), open_, true});
  }
  changed_.notify_all();
}

void LiveResults::translateFinals() {
  std::lock_guard lock(mutex_);
  translating_ = true;
}

uint64_t LiveResults::close(double start, double end) {
  std::lock_guard lock(mutex_);
  if (!failed_) {
    RecognitionResult final{"", start, end, true};
    if (translating_) final.english = std::make_shared<EnglishOfFinal>();
    slots_.push_back({std::move(final), open_, false});
  }
  return open_++;
}

std::shared_ptr<EnglishOfFinal> LiveResults::deliverFinal(uint64_t utterance, std::string text) {
  std::shared_ptr<EnglishOfFinal> english;
  {
    std::lock_guard lock(mutex_);
    for (Slot& slot : slots_) {
      if (slot.utterance == utterance && slot.result.isFinal) {
        slot.result.text = std::move(text);
        slot.ready = true;
        english = slot.result.english;
      }
    }
  }
  changed_.notify_all();
  return english;
}

void LiveResults::fail(const std::string& message) {
  {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = message;
  }
  changed_.notify_all();
}

void LiveResults::end() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
}

uint64_t LiveResults::open() {
  std::lock_guard lock(mutex_);
  return open_;
}

std::optional<RecognitionResult> LiveResults::next() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto frontReady = [&] { return !slots_.empty() && slots_.front().ready; };
    changed_.wait(lock, [&] { return frontReady() || failure_ || (ended_ && slots_.empty()); });
    if (frontReady()) {
      Slot slot = std::move(slots_.front());
      slots_.pop_front();
      if (!slot.result.isFinal && frontReady()) continue;  // overtaken
      return std::move(slot.result);
    }
    if (failure_) {
      const std::string message = *failure_;
      // Failed once: the sequence has ended.
      failure_.reset();
      slots_.clear();
      ended_ = true;
      failed_ = true;
      throw SpeechServiceError(message);
    }
    return std::nullopt;
  }
}

// --- WhisperLiveEngine ---

WhisperLiveEngine::WhisperLiveEngine(std::unique_ptr<WhisperWindowDecoder> decoder, Clock clock, bool translates)
    : decoder_(std::move(decoder)), clock_(std::move(clock)), translates_(translates), thread_([this] { run(); }) {}

WhisperLiveEngine::~WhisperLiveEngine() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WhisperLiveEngine::submitFinal(std::shared_ptr<LiveResults> results, uint64_t utterance, WhisperUtterance audio) {
  {
    std::lock_guard lock(mutex_);
    finals_.push_back({std::move(results), utterance, true, std::move(audio), {}});
  }
  wake_.notify_all();
}

double WhisperLiveEngine::expectedSeconds(size_t samples) {
  std::lock_guard lock(mutex_);
  return secondsPerSample_ * static_cast<double>(std::max(samples, kShortestInput));
}

bool WhisperLiveEngine::idle() {
  std::lock_guard lock(mutex_);
  return !busy_ && finals_.empty() && translations_.empty() && !volatile_;
}

bool WhisperLiveEngine::offerVolatile(std::shared_ptr<LiveResults> results, uint64_t utterance, WhisperUtterance audio,
                                      RecognitionResult times) {
  {
    std::lock_guard lock(mutex_);
    if (busy_ || !finals_.empty() || !translations_.empty() || volatile_) return false;
    volatile_ = Job{std::move(results), utterance, false, std::move(audio), std::move(times)};
  }
  wake_.notify_all();
  return true;
}

void WhisperLiveEngine::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !finals_.empty() || !translations_.empty() || volatile_; });
    if (stopping_) {
      for (Job& job : translations_) job.english->fail("The speech engine stopped.");
      return;
    }
    Job job;
    if (!finals_.empty()) {
      job = std::move(finals_.front());
      finals_.pop_front();
    } else if (!translations_.empty()) {
      job = std::move(translations_.front());
      translations_.pop_front();
    } else {
      job = std::move(*volatile_);
      volatile_.reset();
    }
    busy_ = true;
    lock.unlock();
    const double begin = clock_();
    const WhisperUtterance& a = job.audio;
    const size_t samples = a.samples.size();
    std::optional<Job> translation;  // of the final just decoded
    try {
      std::string text = utteranceText(decoder_->decode(a.samples.data(), a.samples.size(), a.settings));
      if (job.english) {
        job.english->deliver(std::move(text));
      } else if (job.isFinal) {
        std::shared_ptr<EnglishOfFinal> english = job.results->deliverFinal(job.utterance, text);
        if (english && text.empty()) {
          english->deliver("");  // nothing said, nothing to translate
        } else if (english) {
          job.audio.settings.translate = true;
          translation = Job{job.results, job.utterance, false, std::move(job.audio), {}, std::move(english)};
        }
      } else {
        job.times.text = std::move(text);
        job.results->addVolatile(job.utterance, std::move(job.times));
      }
    } catch (const std::exception& e) {
      // A failed translation costs its line only; a failed recognition ends
      // the recognizer's results.
      if (job.english) {
        job.english->fail(e.what());
      } else {
        job.results->fail(e.what());
      }
    }
    const double perSample = (clock_() - begin) / static_cast<double>(std::max<size_t>(1, samples));
    job = {};
    lock.lock();
    // Queued before the engine counts as idle, so no volatile goes first.
    if (translation) translations_.push_back(std::move(*translation));
    busy_ = false;
    secondsPerSample_ = secondsPerSample_ > 0 ? 0.7 * secondsPerSample_ + 0.3 * perSample : perSample;
  }
}

// --- WhisperLiveRecognizer ---

WhisperLiveRecognizer::WhisperLiveRecognizer(std::shared_ptr<WhisperLiveEngine> engine,
                                             std::unique_ptr<Recognizer> guide)
    : engine_(std::move(engine)), guide_(std::move(guide)), results_(std::make_shared<LiveResults>()) {
  if (guide_) guideThread_ = std::thread([this] { followGuide(); });
}

WhisperLiveRecognizer::~WhisperLiveRecognizer() {
  if (guideThread_.joinable()) {
    if (!finished_) {
      try {
        guide_->inputFinished();  // ends the guide's results, and so its thread
      } catch (...) {
      }
    }
    guideThread_.join();
  }
}

void WhisperLiveRecognizer::setContextualStrings(const std::vector<std::string>& phrases) {
  std::string prompt = whisperPrompt(phrases);
  std::lock_guard lock(audioMutex_);
  prompt_ = std::move(prompt);
}

void WhisperLiveRecognizer::setSourceName(const std::string& source) {
  if (guide_) guide_->setSourceName(source);
}

bool WhisperLiveRecognizer::translateFinalsToEnglish() {
  if (!engine_->translates()) return false;
  results_->translateFinals();
  return true;
}

void WhisperLiveRecognizer::acceptWaveform(const PcmBuffer& buffer) {
  if (finished_) return;
  const float* samples = buffer.floatChannel(0);
  if (samples == nullptr) return;
  const size_t n = buffer.frameLength();
  {
    std::lock_guard lock(audioMutex_);
    audio_.insert(audio_.end(), samples, samples + n);
    fed_ += n;
    // Kept: what the open utterance (or the guide's next one) may need.
    uint64_t keepFrom = fed_ > kKept ? fed_ - kKept : 0;
    if (!guide_)
      keepFrom =
          std::max(keepFrom, utteranceStart_ ? *utteranceStart_ : (fed_ > kKeptBetween ? fed_ - kKeptBetween : 0));
    if (keepFrom > audioStart_) {
      const uint64_t drop = std::min<uint64_t>(keepFrom - audioStart_, audio_.size());
      audio_.erase(audio_.begin(), audio_.begin() + static_cast<std::ptrdiff_t>(drop));
      audioStart_ += drop;
    }
  }
  if (guide_) {
    guide_->acceptWaveform(buffer);
    offerGuidedVolatile();
  } else {
    segment(samples, n);
  }
}

void WhisperLiveRecognizer::offerGuidedVolatile() {
  uint64_t from = 0;
  uint64_t utterance = 0;
  double start = 0;
  std::string prompt;
  const uint64_t to = fed_;
  {
    std::lock_guard lock(audioMutex_);
    if (!guideStart_) return;
    // The guide opened the utterance a moment after its speech began: the
    // first re-decode needs less new speech than the later ones.
    const double pace = lastVolatileAt_ == *guideStart_ ? kFirstVolatileSeconds : kVolatilePaceSeconds;
    if (to - lastVolatileAt_ < toSamples(pace)) return;
    lastVolatileAt_ = to;
    from = *guideStart_ > kLead ? *guideStart_ - kLead : 0;
    start = toSeconds(*guideStart_);
    // Read while the guide's thread cannot close the utterance: a volatile
    // that arrives after its final is dropped, never given to the next one.
    utterance = results_->open();
    prompt = prompt_;
  }
  std::vector<float> audio = audioBetween(from, to);
  const bool keepsUp = engine_->idle() && engine_->expectedSeconds(audio.size()) <= kVolatilePaceSeconds / 2;
  const bool offered =
      keepsUp && engine_->offerVolatile(results_, utterance, whisperUtterance(std::move(audio), prompt),
                                        RecognitionResult{"", start, toSeconds(to), false});
  std::lock_guard lock(audioMutex_);
  if (guideStart_) whisperBehind_ = !offered;
}

void WhisperLiveRecognizer::segment(const float* samples, size_t n) {
  for (const SpeechSegmenter::Event& event : segmenter_.feed(samples, n)) {
    if (event.start) {
      utteranceStart_ = event.at > kLead ? event.at - kLead : 0;
      startSeconds_ = toSeconds(event.at);
      lastVolatileAt_ = *utteranceStart_;
    } else {
      closeUtterance(event.at);
    }
  }
  // Within an utterance: its text so far, at a steady pace, when the engine
  // keeps up.
  if (!utteranceStart_ || fed_ - lastVolatileAt_ < toSamples(kVolatilePaceSeconds)) return;
  std::vector<float> audio = audioBetween(*utteranceStart_, fed_);
  if (!engine_->idle() || engine_->expectedSeconds(audio.size()) > kVolatilePaceSeconds / 2) return;
  const double end = toSeconds(fed_);
  if (engine_->offerVolatile(results_, results_->open(), whisperUtterance(std::move(audio), prompt_),
                             RecognitionResult{"", startSeconds_, end, false})) {
    lastVolatileAt_ = fed_;
  }
}

void WhisperLiveRecognizer::closeUtterance(uint64_t end) {
  const uint64_t from = *utteranceStart_;
  utteranceStart_.reset();
  std::vector<float> audio = audioBetween(from, std::min(end + kTail, fed_));
  const uint64_t utterance = results_->close(startSeconds_, toSeconds(end));
  engine_->submitFinal(results_, utterance, whisperUtterance(std::move(audio), prompt_));
}

void WhisperLiveRecognizer::followGuide() {
  try {
    while (std::optional<RecognitionResult> result = guide_->nextResult()) {
      if (!result->isFinal) {
        // The guide's volatiles stand in for Whisper's only while the
        // engine falls behind; its first one opens the utterance.
        bool pass = false;
        {
          std::lock_guard lock(audioMutex_);
          if (!guideStart_) {
            guideStart_ = toSamples(std::max(0.0, result->start));
            lastVolatileAt_ = *guideStart_;
            whisperBehind_ =
                engine_->expectedSeconds(toSamples(kVolatilePaceSeconds) + kLead) > kVolatilePaceSeconds / 2;
          }
          pass = whisperBehind_;
        }
        if (pass) results_->addVolatile(results_->open(), std::move(*result));
        continue;
      }
      {
        std::lock_guard lock(audioMutex_);
        guideStart_.reset();
      }
      const uint64_t start = toSamples(result->start);
      std::vector<float> audio = audioBetween(start > kLead ? start - kLead : 0, toSamples(result->end) + kTail);
      std::string prompt;
      {
        std::lock_guard lock(audioMutex_);
        prompt = prompt_;
      }
      const uint64_t utterance = results_->close(result->start, result->end);
      engine_->submitFinal(results_, utterance, whisperUtterance(std::move(audio), std::move(prompt)));
    }
    results_->end();
  } catch (const std::exception& e) {
    results_->fail(e.what());
  }
}

std::vector<float> WhisperLiveRecognizer::audioBetween(uint64_t from, uint64_t to) {
  std::lock_guard lock(audioMutex_);
  from = std::max(from, audioStart_);
  to = std::min(to, fed_);
  if (from >= to) return {};
  const auto begin = audio_.begin() + static_cast<std::ptrdiff_t>(from - audioStart_);
  return std::vector<float>(begin, begin + static_cast<std::ptrdiff_t>(to - from));
}

void WhisperLiveRecognizer::inputFinished() {
  if (finished_) return;
  finished_ = true;
  if (guide_) {
    guide_->inputFinished();  // its last final, then the end, reach our thread
    return;
  }
  if (utteranceStart_) closeUtterance(fed_);
  results_->end();
}

std::optional<RecognitionResult> WhisperLiveRecognizer::nextResult() {
  return results_->next();
}

}  // namespace tavrin::speech
