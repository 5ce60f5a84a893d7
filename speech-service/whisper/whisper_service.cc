#include "speech-service/whisper/whisper_service.h"

#include <unicode/uloc.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>

#include "common/locale.h"
#include "common/processors.h"
#include "speech-service/whisper/whisper_library.h"
#include "speech-service/whisper/whisper_live.h"

namespace tavrin::speech {
namespace {

constexpr size_t kFramesPerTick = 160;

// The engine writes Javanese as "jw"; everything else it names by ISO 639.
std::string engineCode(const std::string& language) {
  return language == "jv" ? "jw" : language;
}
std::string isoCode(const std::string& code) {
  return code == "jw" ? "jv" : code;
}

class LibraryDecoder final : public WhisperWindowDecoder {
 public:
  LibraryDecoder(const WhisperLibrary& library, whisper_context* context, std::string language, bool flashAttention)
      : api_(library.api()),
        context_(context),
        state_(nullptr, StateFree{&api_}),
        language_(std::move(language)),
        threads_(allowedCpuCount()),
        flashAttention_(flashAttention) {}
  ~LibraryDecoder() override {
    state_.reset();
    api_.whisper_free(context_);
  }
  LibraryDecoder(const LibraryDecoder&) = delete;
  LibraryDecoder& operator=(const LibraryDecoder&) = delete;

  std::vector<WhisperSegment> decode(const float* samples, size_t n, const WhisperDecodeSettings& settings) override {
    // With flash attention, a context shorter than one the state has run
    // reads what the longer one left in its padding (whisper.cpp 1.9.1), and
    // its text is not a fresh engine's: it gets a fresh state, in place of
    // the old one.
    const int context = settings.audioContext > 0 ? settings.audioContext : std::numeric_limits<int>::max();
    if (!state_ || (flashAttention_ && context < widest_)) {
      state_.reset();
      state_.reset(api_.whisper_init_state(context_));
      if (!state_) throw SpeechServiceError("The speech engine failed to decode the audio.");
      widest_ = 0;
    }
    widest_ = std::max(widest_, context);
    whisper_full_params params = api_.whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.n_threads = threads_;
    params.language = language_.c_str();
    params.translate = settings.translate;
    params.detect_language = false;
    params.no_context = true;
    params.print_special = false;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.initial_prompt = settings.prompt.empty() ? nullptr : settings.prompt.c_str();
    params.audio_ctx = settings.audioContext;
    if (!settings.fallback) params.temperature_inc = 0.0f;
    params.no_timestamps = !settings.timestamps;
    whisper_state* state = state_.get();
    if (api_.whisper_full_with_state(context_, state, params, samples, static_cast<int>(n)) != 0) {
      throw SpeechServiceError("The speech engine failed to decode the audio.");
    }
    std::vector<WhisperSegment> segments;
    const int count = api_.whisper_full_n_segments_from_state(state);
    for (int i = 0; i < count; ++i) {
      const char* text = api_.whisper_full_get_segment_text_from_state(state, i);
      segments.push_back({api_.whisper_full_get_segment_t0_from_state(state, i),
                          api_.whisper_full_get_segment_t1_from_state(state, i), text != nullptr ? text : ""});
    }
    return segments;
  }

 private:
  struct StateFree {
    const WhisperApi* api;
    void operator()(whisper_state* state) const { api->whisper_free_state(state); }
  };
  const WhisperApi& api_;  // owned by the engine, which outlives its decoders
  whisper_context* context_;
  std::unique_ptr<whisper_state, StateFree> state_;  // the engine's working memory, made on first use
  std::string language_;
  int threads_;
  bool flashAttention_;
  int widest_ = 0;  // the widest context the state has run
};

class LibraryEngine final : public WhisperEngine {
 public:
  bool usable() override {
    if (!library_ && !tried_) {
      tried_ = true;
      if (cpuRunsWhisper()) {
        try {
          library_ = WhisperLibrary::open(defaultWhisperLibraryDirs());
        } catch (const WhisperLibraryError&) {
          // Not installed, or not loadable here: the service serves nothing.
        }
      }
    }
    return library_ != nullptr;
  }

  std::vector<std::string> languages() override {
    std::vector<std::string> codes;
    if (!usable()) return codes;
    const WhisperApi& api = library_->api();
    for (int id = 0; id <= api.whisper_lang_max_id(); ++id) {
      if (const char* code = api.whisper_lang_str(id)) codes.emplace_back(code);
    }
    return codes;
  }

  std::unique_ptr<WhisperWindowDecoder> load(const std::string& path, const std::string& language,
                                             bool flashAttention) override {
    if (!usable()) throw SpeechServiceError("The speech engine for Whisper models is not available.");
    const WhisperApi& api = library_->api();
    whisper_context_params params = api.whisper_context_default_params();
    params.use_gpu = false;
    params.flash_attn = flashAttention;
    whisper_context* context = api.whisper_init_from_file_with_params_no_state(path.c_str(), params);
    if (context == nullptr)
      throw SpeechServiceError("The speech engine could not load the Whisper model " + path + ".");
    return std::make_unique<LibraryDecoder>(*library_, context, language, flashAttention);
  }

 private:
  std::unique_ptr<WhisperLibrary> library_;
  bool tried_ = false;
};

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::unique_ptr<WhisperEngine> makeWhisperLibraryEngine() {
  return std::make_unique<LibraryEngine>();
}

int whisperAudioContext(size_t samples) {
  constexpr size_t kFrameSamples = 320;  // one encoder frame: 20 ms
  constexpr int kLargestContext = 1500;  // the model's 30 s
  const int frames = static_cast<int>((samples + kFrameSamples - 1) / kFrameSamples);
  return std::min(kLargestContext, frames + kAudioContextMargin);
}

// --- WhisperRecognizer ---

WhisperRecognizer::WhisperRecognizer(std::unique_ptr<WhisperWindowDecoder> decoder) : decoder_(std::move(decoder)) {
  window_.reserve(kWhisperWindowFrames);
}

std::string whisperPrompt(const std::vector<std::string>& phrases) {
  std::string prompt;
  for (const std::string& phrase : phrases) {
    if (phrase.empty()) continue;
    if (!prompt.empty()) prompt += ", ";
    prompt += phrase;
  }
  return prompt;
}

void WhisperRecognizer::setContextualStrings(const std::vector<std::string>& phrases) {
  settings_.prompt = whisperPrompt(phrases);
}

bool SpeechStretchDetector::frame(const float* samples) {
  double energy = 0;
  for (size_t i = 0; i < kFrameSamples; ++i) {
    const double v = std::isfinite(samples[i]) ? samples[i] : 0.0;
    energy += v * v;
  }
  const double db = 10 * std::log10(energy / kFrameSamples + 1e-10);
  // The quietest frame of the last 2 s: a deque of rising minima.
  constexpr uint64_t kFloorFrames = 200;
  while (!minima_.empty() && minima_.back().second >= db) minima_.pop_back();
  minima_.emplace_back(frames_, db);
  while (minima_.front().first + kFloorFrames <= frames_) minima_.pop_front();
  ++frames_;
  const bool loud = db > std::max(minima_.front().second + 12, -50.0);
  recent_ = ((recent_ << 1) | (loud ? 1u : 0u)) & 0xffu;
  return loud;
}

bool SpeechStretchDetector::speaking() const {
  return __builtin_popcount(recent_) >= 3;
}

void WhisperRecognizer::acceptWaveform(const PcmBuffer& buffer) {
  if (finished_) return;
  const float* samples = buffer.floatChannel(0);
  if (samples == nullptr) return;
  const size_t frames = buffer.frameLength();
  size_t offset = 0;
  constexpr size_t kFrame = SpeechStretchDetector::kFrameSamples;
  if (!partial_.empty()) {
    offset = std::min(frames, kFrame - partial_.size());
    partial_.insert(partial_.end(), samples, samples + offset);
    if (partial_.size() < kFrame) return;
    frame(partial_.data());
    partial_.clear();
  }
  for (; offset + kFrame <= frames; offset += kFrame) frame(samples + offset);
  partial_.assign(samples + offset, samples + frames);
}

void WhisperRecognizer::frame(const float* samples) {
  constexpr size_t kFrame = SpeechStretchDetector::kFrameSamples;
  const bool loud = detector_.frame(samples);
  window_.insert(window_.end(), samples, samples + kFrame);
  fed_ += kFrame;
  // Room before a stretch: its lead and the frames that made it start.
  constexpr size_t kBefore = kStretchLead + 8 * kFrame;
  if (!inStretch_ && detector_.speaking()) {
    inStretch_ = true;
    lastLoud_ = fed_;
    dropSilence(kBefore);
  }
  if (!inStretch_) {
    // Dropped in bulk: each drop moves the samples kept after it.
    if (window_.size() > committed_ + kBefore + kStretchGap) dropSilence(kBefore);
  } else {
    if (loud) lastLoud_ = fed_;
    if (fed_ - lastLoud_ >= kStretchGap) {
      // The stretch ends kStretchTail after its last loud frame; it waits
      // in the window for the next one, or the end of the input.
      inStretch_ = false;
      committed_ = window_.size() - static_cast<size_t>(fed_ - std::min(lastLoud_ + kStretchTail, fed_));
      dropSilence(kBefore);
    }
  }
  if (window_.size() >= kWhisperWindowFrames) decodeWindow(false, window_.size());
}

void WhisperRecognizer::dropSilence(size_t keep) {
  if (window_.size() <= committed_ + keep) return;
  const size_t drop = window_.size() - committed_ - keep;
  window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(committed_),
                window_.begin() + static_cast<std::ptrdiff_t>(committed_ + drop));
  // What follows the stretches kept is the last `keep` samples fed.
  while (!pieces_.empty() && pieces_.back().first >= committed_) pieces_.pop_back();
  pieces_.emplace_back(committed_, fed_ - keep);
}

uint64_t WhisperRecognizer::sourceOf(size_t position) const {
  auto piece = pieces_.begin();
  for (auto it = pieces_.begin(); it != pieces_.end() && it->first <= position; ++it) piece = it;
  return piece->second + (position - piece->first);
}

void WhisperRecognizer::inputFinished() {
  if (finished_) return;
  finished_ = true;
  // The last partial frame belongs to a stretch that is still open.
  if (inStretch_) {
    window_.insert(window_.end(), partial_.begin(), partial_.end());
    decodeWindow(true, window_.size());
  } else {
    decodeWindow(true, committed_);
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

void WhisperRecognizer::decodeWindow(bool last, size_t n) {
  if (n == 0) return;
  std::vector<WhisperSegment> segments;
  try {
    // The last window, which the end of the input leaves short, is encoded
    // over its own length rather than the whole 30 s.
    WhisperDecodeSettings settings = settings_;
    if (last) settings.audioContext = whisperAudioContext(std::max(n, kShortestInput));
    if (n < kShortestInput) {
      std::vector<float> padded(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(n));
      padded.resize(kShortestInput, 0.0f);
      segments = decoder_->decode(padded.data(), padded.size(), settings);
    } else {
      segments = decoder_->decode(window_.data(), n, settings);
    }
  } catch (const SpeechServiceError& e) {
    fail(e.what());
    throw;
  }
  // Hold back the last segment of a full window when it starts in the
  // window's second half: it may run on past the cut.
  size_t emitted = segments.size();
  size_t consumed = n;
  if (!last && segments.size() > 1) {
    const int64_t t0 = segments.back().t0;
    const size_t from = t0 > 0 ? static_cast<size_t>(t0) * kFramesPerTick : 0;
    if (from >= n / 2 && from < n) {
      emitted = segments.size() - 1;
      consumed = from;
    }
  }
  // Window positions (samples) to seconds of the input: across the
  // silence left out between stretches.
  const auto at = [this, n](int64_t ticks, bool isEnd) {
    const size_t p =
        static_cast<size_t>(std::clamp<int64_t>(ticks, 0, static_cast<int64_t>(n / kFramesPerTick))) * kFramesPerTick;
    const uint64_t source = isEnd && p > 0 ? sourceOf(p - 1) + 1 : sourceOf(p);
    return static_cast<double>(source) / 16000.0;
  };
  for (size_t i = 0; i < emitted; ++i) {
    // Times stay inside the window and never go back, whatever the engine
    // says.
    const double start = std::max(lastStart_, at(segments[i].t0, false));
    const double end = std::max(start, at(std::max(segments[i].t0, segments[i].t1), true));
    lastStart_ = start;
    push({segments[i].text, start, end, true});
  }
  const uint64_t next = sourceOf(consumed);
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(consumed));
  std::vector<std::pair<size_t, uint64_t>> pieces = {{0, next}};
  for (const auto& [position, source] : pieces_) {
    if (position > consumed) pieces.emplace_back(position - consumed, source);
  }
  pieces_ = std::move(pieces);
  committed_ = committed_ > consumed ? committed_ - consumed : 0;
}

void WhisperRecognizer::fail(const std::string& message) {
  finished_ = true;
  std::lock_guard lock(mutex_);
  failure_ = message;
  ended_ = true;
  changed_.notify_all();
}

void WhisperRecognizer::push(RecognitionResult result) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(result));
  changed_.notify_all();
}

std::optional<RecognitionResult> WhisperRecognizer::nextResult() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !queue_.empty() || ended_; });
  if (!queue_.empty()) {
    RecognitionResult result = std::move(queue_.front());
    queue_.pop_front();
    return result;
  }
  if (failure_) {
    const std::string message = *failure_;
    failure_.reset();
    throw SpeechServiceError(message);
  }
  return std::nullopt;
}

// --- WhisperSpeechService ---

WhisperSpeechService::WhisperSpeechService(std::vector<WhisperModel> models, std::unique_ptr<WhisperEngine> engine)
    : models_(std::move(models)), engine_(std::move(engine)) {}

WhisperSpeechService::WhisperSpeechService(std::unique_ptr<WhisperDownload> download,
                                           std::unique_ptr<WhisperEngine> engine)
    : models_{{download->path(), download->multilingual()}},
      engine_(std::move(engine)),
      download_(std::move(download)) {}

WhisperSpeechService::~WhisperSpeechService() = default;

std::unique_ptr<WhisperSpeechService> WhisperSpeechService::fromProcess() {
  return std::make_unique<WhisperSpeechService>(findWhisperModels(ModelSearchPaths::fromProcess()),
                                                makeWhisperLibraryEngine());
}

bool WhisperSpeechService::usable() {
  // No model, no engine: the library is not even loaded.
  if (!usable_) usable_ = !models_.empty() && engine_->usable();
  return *usable_;
}

const std::vector<std::string>& WhisperSpeechService::languages() {
  if (!languages_) languages_ = engine_->languages();
  return *languages_;
}

std::optional<std::pair<WhisperModel, std::string>> WhisperSpeechService::route(const std::string& identifier) {
  if (!usable()) return std::nullopt;
  const std::string language = localeParts(identifier).language;
  if (language.empty()) return std::nullopt;
  const std::string code = engineCode(language);
  for (const WhisperModel& model : models_) {
    if (model.multilingual ? std::count(languages().begin(), languages().end(), code) > 0 : code == "en") {
      return std::pair{model, code};
    }
  }
  return std::nullopt;
}

bool WhisperSpeechService::isAvailable() {
  std::lock_guard lock(mutex_);
  return usable();
}

std::optional<std::string> WhisperSpeechService::supportedLocale(const std::string& identifier) {
  std::lock_guard lock(mutex_);
  if (!route(identifier)) return std::nullopt;
  const auto [language, region] = localeParts(identifier);
  return region.empty() ? language : language + "_" + region;
}

std::vector<std::string> WhisperSpeechService::supportedLocales() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> locales;
  if (!usable()) return locales;
  const bool multilingual =
      std::any_of(models_.begin(), models_.end(), [](const WhisperModel& m) { return m.multilingual; });
  if (!multilingual) return {"en"};
  for (const std::string& code : languages()) locales.push_back(isoCode(code));
  return locales;
}

std::optional<std::string> WhisperSpeechService::damage(const WhisperModel& model) {
  auto found = damage_.find(model.path);
  if (found == damage_.end()) {
    std::optional<std::string> reason = whisperModelDamage(model.path);
    if (reason) reason = "The Whisper model " + model.path + " is damaged: " + *reason + ".";
    found = damage_.emplace(model.path, std::move(reason)).first;
  }
  return found->second;
}

AssetStatus WhisperSpeechService::assetStatus(const std::string& identifier) {
  std::lock_guard lock(mutex_);
  const auto routed = route(identifier);
  if (!routed) return AssetStatus::kUnsupported;
  if (download_ && !std::filesystem::exists(routed->first.path)) {
    return download_->inProgress() ? AssetStatus::kDownloading : AssetStatus::kSupported;
  }
  return damage(routed->first) ? AssetStatus::kSupported : AssetStatus::kInstalled;
}

void WhisperSpeechService::installAssets(const std::string& identifier, const KeepWaiting& keepWaiting) {
  std::unique_lock lock(mutex_);
  const auto routed = route(identifier);
  if (!routed) throw SpeechServiceError("No Whisper model is installed for " + identifier + ".");
  if (download_ && !std::filesystem::exists(routed->first.path)) {
    lock.unlock();  // the download may take long; the download itself lets one process at a time fetch
    download_->install(identifier, keepWaiting);
    lock.lock();
  }
  if (const std::optional<std::string> reason = damage(routed->first)) throw SpeechServiceError(*reason);
}

std::optional<PcmFormat> WhisperSpeechService::inputFormat(const std::string& identifier) {
  std::lock_guard lock(mutex_);
  if (!route(identifier)) return std::nullopt;
  return PcmFormat::float32(16000, 1);
}

std::unique_ptr<Recognizer> WhisperSpeechService::makeRecognizer(const std::string& identifier, ReportingMode mode) {
  std::lock_guard lock(mutex_);
  const auto routed = route(identifier);
  if (!routed) throw SpeechServiceError("No Whisper model is installed for " + identifier + ".");
  const auto& [model, code] = *routed;
  if (const std::optional<std::string> reason = damage(model)) throw SpeechServiceError(*reason);
  if (mode != ReportingMode::kLive) return std::make_unique<WhisperRecognizer>(engine_->load(model.path, code, true));
  std::weak_ptr<WhisperLiveEngine>& slot = liveEngines_[model.path + '\n' + code];
  std::shared_ptr<WhisperLiveEngine> live = slot.lock();
  if (!live) {
    live = std::make_shared<WhisperLiveEngine>(engine_->load(model.path, code, false), monotonicSeconds,
                                               model.multilingual && code != "en");
    slot = live;
  }
  std::unique_ptr<Recognizer> guide;
  if (guide_ != nullptr) {
    const std::optional<std::string> locale = guide_->supportedLocale(identifier);
    if (locale && guide_->assetStatus(*locale) == AssetStatus::kInstalled) {
      guide = guide_->makeRecognizer(*locale, ReportingMode::kLive);
    }
  }
  return std::make_unique<WhisperLiveRecognizer>(std::move(live), std::move(guide));
}

AssetStatus WhisperSpeechService::englishTranslation(const std::string& identifier) {
  {
    std::lock_guard lock(mutex_);
    const auto routed = route(identifier);
    if (!routed || !routed->first.multilingual || routed->second == "en") return AssetStatus::kUnsupported;
  }
  return assetStatus(identifier);
}

}  // namespace tavrin::speech
