#include "speech-service/whisper_service.h"

#include <unicode/uloc.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "common/locale.h"
#include "common/processors.h"
#include "speech-service/whisper_library.h"
#include "speech-service/whisper_live.h"

namespace tavrin::speech {
namespace {

constexpr double kSecondsPerTick = 0.01;
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
  LibraryDecoder(const WhisperLibrary& library, whisper_context* context, std::string language)
      : api_(library.api()), context_(context), language_(std::move(language)), threads_(allowedCpuCount()) {}
  ~LibraryDecoder() override { api_.whisper_free(context_); }
  LibraryDecoder(const LibraryDecoder&) = delete;
  LibraryDecoder& operator=(const LibraryDecoder&) = delete;

  std::vector<WhisperSegment> decode(const float* samples, size_t n, const WhisperDecodeSettings& settings) override {
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
    if (api_.whisper_full(context_, params, samples, static_cast<int>(n)) != 0) {
      throw SpeechServiceError("The speech engine failed to decode the audio.");
    }
    std::vector<WhisperSegment> segments;
    const int count = api_.whisper_full_n_segments(context_);
    for (int i = 0; i < count; ++i) {
      const char* text = api_.whisper_full_get_segment_text(context_, i);
      segments.push_back({api_.whisper_full_get_segment_t0(context_, i), api_.whisper_full_get_segment_t1(context_, i),
                          text != nullptr ? text : ""});
    }
    return segments;
  }

 private:
  const WhisperApi& api_;  // owned by the engine, which outlives its decoders
  whisper_context* context_;
  std::string language_;
  int threads_;
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
    whisper_context* context = api.whisper_init_from_file_with_params(path.c_str(), params);
    if (context == nullptr)
      throw SpeechServiceError("The speech engine could not load the Whisper model " + path + ".");
    return std::make_unique<LibraryDecoder>(*library_, context, language);
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

void WhisperRecognizer::acceptWaveform(const PcmBuffer& buffer) {
  if (finished_) return;
  const float* samples = buffer.floatChannel(0);
  if (samples == nullptr) return;
  size_t offset = 0;
  const size_t frames = buffer.frameLength();
  while (offset < frames) {
    const size_t take = std::min(frames - offset, kWhisperWindowFrames - window_.size());
    window_.insert(window_.end(), samples + offset, samples + offset + take);
    offset += take;
    if (window_.size() == kWhisperWindowFrames) decodeWindow(false);
  }
}

void WhisperRecognizer::inputFinished() {
  if (finished_) return;
  finished_ = true;
  if (!window_.empty()) decodeWindow(true);
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

void WhisperRecognizer::decodeWindow(bool last) {
  std::vector<WhisperSegment> segments;
  try {
    segments = decoder_->decode(window_.data(), window_.size(), settings_);
  } catch (const SpeechServiceError& e) {
    fail(e.what());
    throw;
  }
  // Hold back the last segment of a full window when it starts in the
  // window's second half: it may run on past the cut.
  size_t emitted = segments.size();
  size_t consumed = window_.size();
  if (!last && segments.size() > 1) {
    const int64_t t0 = segments.back().t0;
    const size_t from = t0 > 0 ? static_cast<size_t>(t0) * kFramesPerTick : 0;
    if (from >= window_.size() / 2 && from < window_.size()) {
      emitted = segments.size() - 1;
      consumed = from;
    }
  }
  const double windowSeconds = static_cast<double>(windowStart_) / 16000.0;
  const double windowEnd = static_cast<double>(window_.size()) / 16000.0;
  for (size_t i = 0; i < emitted; ++i) {
    // Times stay inside the window and never go back, whatever the engine
    // says.
    const double t0 = std::clamp(static_cast<double>(segments[i].t0) * kSecondsPerTick, 0.0, windowEnd);
    const double t1 = std::clamp(static_cast<double>(segments[i].t1) * kSecondsPerTick, t0, windowEnd);
    const double start = std::max(lastStart_, windowSeconds + t0);
    const double end = std::max(start, windowSeconds + t1);
    lastStart_ = start;
    push({segments[i].text, start, end, true});
  }
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(consumed));
  windowStart_ += consumed;
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
    : models_{{download->path(), true}}, engine_(std::move(engine)), download_(std::move(download)) {}

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

// --- RoutedSpeechService ---

SpeechService& RoutedSpeechService::serviceFor(const std::string& identifier) {
  if (preferred_.supportedLocale(identifier)) return preferred_;
  if (onDemand_ == nullptr) return fallback_;
  // A model of the fallback's, installed or being put in place, stays its.
  if (const std::optional<std::string> locale = fallback_.supportedLocale(identifier)) {
    const AssetStatus status = fallback_.assetStatus(*locale);
    if (status == AssetStatus::kInstalled || status == AssetStatus::kDownloading) return fallback_;
  }
  return onDemand_->supportedLocale(identifier) ? *onDemand_ : fallback_;
}

bool RoutedSpeechService::isAvailable() {
  return fallback_.isAvailable() || preferred_.isAvailable();
}

std::optional<std::string> RoutedSpeechService::supportedLocale(const std::string& identifier) {
  return serviceFor(identifier).supportedLocale(identifier);
}

std::vector<std::string> RoutedSpeechService::supportedLocales() {
  std::vector<std::string> locales = fallback_.supportedLocales();
  std::vector<std::string> languages;
  for (const std::string& locale : locales) languages.push_back(localeParts(locale).language);
  for (SpeechService* other : {&preferred_, onDemand_}) {
    if (other == nullptr) continue;
    for (const std::string& locale : other->supportedLocales()) {
      const std::string language = localeParts(locale).language;
      if (std::count(languages.begin(), languages.end(), language) > 0) continue;
      locales.push_back(locale);
      languages.push_back(language);
    }
  }
  return locales;
}

AssetStatus RoutedSpeechService::assetStatus(const std::string& identifier) {
  return serviceFor(identifier).assetStatus(identifier);
}

void RoutedSpeechService::installAssets(const std::string& identifier, const KeepWaiting& keepWaiting) {
  serviceFor(identifier).installAssets(identifier, keepWaiting);
}

std::optional<PcmFormat> RoutedSpeechService::inputFormat(const std::string& identifier) {
  return serviceFor(identifier).inputFormat(identifier);
}

std::unique_ptr<Recognizer> RoutedSpeechService::makeRecognizer(const std::string& identifier, ReportingMode mode) {
  return serviceFor(identifier).makeRecognizer(identifier, mode);
}

AssetStatus RoutedSpeechService::englishTranslation(const std::string& identifier) {
  return serviceFor(identifier).englishTranslation(identifier);
}

}  // namespace tavrin::speech
