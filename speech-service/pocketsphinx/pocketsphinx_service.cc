#include "speech-service/pocketsphinx/pocketsphinx_service.h"

#include <fcntl.h>
#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "common/capture_stream.h"
#include "common/unique_fd.h"
#include "speech-service/models/kept_file.h"
#include "speech-service/pocketsphinx/cepstral_mean.h"

namespace tavrin::speech {
namespace {

constexpr double kSampleRate = 16000;
constexpr int kFramesPerSecond = 100;            // the decoder's feature frame rate
constexpr uint32_t kBlockSamples = 320;          // 20 ms: how often the detector is asked
constexpr uint64_t kPartialEverySamples = 1600;  // live: at most one hypothesis check per 100 ms
constexpr size_t kCepstraPerCall = 16;
constexpr size_t kLeadSamples = 16000;              // live: audio kept before an utterance's speech
constexpr size_t kMaxRedecodeSamples = 30 * 16000;  // longer utterances are not decoded again

// The file of a source's cepstral mean: the source's name (reduced to a
// safe file name) and the acoustic model's directory, hashed, since the
// features depend on the model's front-end parameters.
std::string cepstralMeanFileName(const std::string& source, const std::string& acousticModel) {
  std::string name;
  for (unsigned char c : source) name.push_back(std::isalnum(c) ? static_cast<char>(c) : '_');
  uint32_t hash = 2166136261u;
  for (unsigned char c : acousticModel) hash = (hash ^ c) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  return name + "-" + hex + ".cepstral-mean";
}

// The engine's libraries keep process-wide state that making and freeing a
// decoder may touch (the log file among it: ps_init closes and reopens it
// for a decoder that names one): two at once, as two live channels set up
// or stopped together, corrupt the heap or deadlock in stdio. Decoders,
// their front ends and configurations are therefore made and freed under
// this lock; decoding itself runs outside it.
std::mutex& engineLifetimeLock() {
  static std::mutex lock;
  return lock;
}

struct ConfigDeleter {
  void operator()(cmd_ln_t* config) const {
    const std::lock_guard hold(engineLifetimeLock());
    cmd_ln_free_r(config);
  }
};
struct DecoderDeleter {
  void operator()(ps_decoder_t* decoder) const {
    const std::lock_guard hold(engineLifetimeLock());
    ps_free(decoder);
  }
};
struct NgramDeleter {
  void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
struct FrontEndDeleter {
  void operator()(fe_t* fe) const {
    const std::lock_guard hold(engineLifetimeLock());
    fe_free(fe);
  }
};
struct SegmentDeleter {
  void operator()(ps_seg_t* seg) const { ps_seg_free(seg); }
};
using ConfigPtr = std::unique_ptr<cmd_ln_t, ConfigDeleter>;
using DecoderPtr = std::unique_ptr<ps_decoder_t, DecoderDeleter>;
using NgramPtr = std::unique_ptr<ngram_model_t, NgramDeleter>;
using FrontEndPtr = std::unique_ptr<fe_t, FrontEndDeleter>;

// The libraries log to standard error by default; the helpers own their
// standard error, so logging is turned off once, before the first decoder,
// and no decoder names a log file of its own (which would turn it on again
// for every thread's decoder).
void silenceEngineLog() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

bool isFiller(const char* word) {
  return word == nullptr || word[0] == '<' || word[0] == '[' || word[0] == '+' || std::string_view(word) == "(NULL)";
}

// Words of a phrase as the dictionary spells them: lower case, split at
// anything that is neither a letter, a digit nor an apostrophe.
std::vector<std::string> phraseWords(const std::string& phrase) {
  std::vector<std::string> words;
  std::string word;
  for (unsigned char c : phrase) {
    if (std::isalnum(c) || c == '\'' || c >= 0x80) {
      word.push_back(static_cast<char>(std::tolower(c)));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// `options` follow the model's and the sample rate's (live's search; none:
// the engine's own).
std::vector<std::string> decoderArguments(const ModelFiles& model, int endSilenceFrames,
                                          const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {"-hmm",
                                   model.acousticModel,
                                   "-lm",
                                   model.languageModel,
                                   "-dict",
                                   model.dictionary,
                                   "-samprate",
                                   "16000",
                                   "-vad_postspeech",
                                   std::to_string(endSilenceFrames),
                                   "-remove_silence",
                                   "yes"};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

ConfigPtr parseConfig(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  std::unique_lock hold(engineLifetimeLock());
  ConfigPtr config(cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), FALSE));
  hold.unlock();
  if (!config) throw SpeechServiceError("The speech recognizer could not be configured.");
  return config;
}

// What identifies a model's files as they are now: paths, sizes and
// modification times, hashed (FNV-1a) into one hexadecimal word.
std::string modelKey(const ModelFiles& model) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths = {model.languageModel, model.dictionary};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(model.acousticModel, ec)) paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  uint64_t hash = 0xcbf29ce484222325u;
  auto mix = [&](const std::string& text) {
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3u;
  };
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;
    mix(path + '|' + std::to_string(st.st_size) + '|' + std::to_string(st.st_mtim.tv_sec) + '.' +
        std::to_string(st.st_mtim.tv_nsec) + '\n');
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

// Loads the model in a child process; true when it loaded. Whatever the
// child writes (the engine's complaints, a crash report) goes nowhere: this
// process's standard output and error are its own replies.
bool loadsInChild(cmd_ln_t* config) {
  // Forked while no other thread is inside the engine's lifetime calls, so
  // the child inherits their state whole.
  std::unique_lock hold(engineLifetimeLock());
  const pid_t pid = ::fork();
  if (pid < 0) return true;  // no way to check: the engine itself will try
  if (pid == 0) {
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
      if (nowhere >= 0)
        ::dup2(nowhere, fd);
      else
        ::close(fd);
    }
    // A crash ends the child by its signal (the crash guard's handler,
    // inherited, would report it as this program's failure).
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::signal(signal, SIG_DFL);
    _exit(ps_init(config) != nullptr ? 0 : 1);
  }
  hold.unlock();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return true;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// $TMPDIR when it names an absolute directory, else /tmp.
std::string temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] == '/' ? dir : "/tmp";
}

// The list of models that loaded: one key (16 hexadecimal digits) a line,
// the newest last; more than this many keys are not kept.
constexpr size_t kMaxLoadedModels = 64;
constexpr size_t kLoadedModelKeyChars = 16;

std::vector<std::string> readLoadedModels(const std::string& path) {
  std::vector<std::string> keys;
  const std::optional<std::string> text = readKeptFile(path, kMaxLoadedModels * (kLoadedModelKeyChars + 1));
  if (!text) return keys;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    const bool hex = std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (line.size() == kLoadedModelKeyChars && hex) keys.push_back(line);
  }
  return keys;
}

struct QueueItem {
  std::optional<RecognitionResult> result;
  std::string error;  // set when the sequence fails
};

class PocketSphinxRecognizer final : public Recognizer {
 public:
  PocketSphinxRecognizer(const ModelFiles& model, ReportingMode mode, const PocketSphinxSettings& settings)
      : mode_(mode), settings_(settings) {
    silenceEngineLog();
    const bool live = mode == ReportingMode::kLive;
    config_ = parseConfig(live ? decoderArguments(model, settings.liveEndSilenceFrames, liveDecoderOptions(settings))
                               : decoderArguments(model, settings.transcriptionEndSilenceFrames));
    if (!modelLoads(model, settings)) {
      throw SpeechServiceError("The speech model in " + model.acousticModel +
                               " could not be loaded; install its files again.");
    }
    std::unique_lock hold(engineLifetimeLock());
    decoder_.reset(ps_init(config_.get()));
    // (The front end takes a reference to the configuration of its own,
    // whatever its header says, and drops it in fe_free.)
    if (decoder_) frontEnd_.reset(fe_init_auto_r(ps_get_config(decoder_.get())));
    hold.unlock();
    if (!decoder_) throw SpeechServiceError("The speech model could not be loaded.");
    if (ps_start_stream(decoder_.get()) < 0 || ps_start_utt(decoder_.get()) < 0) {
      throw SpeechServiceError("The speech recognizer could not be started.");
    }
    // Live, the decoder runs once per batch rather than per capture buffer:
    // after each sleep it first brings its model back into the cache, so
    // that 20 ms at a time costs about a fifth more CPU than 80 ms.
    batchSamples_ = live ? static_cast<size_t>(settings.liveBatchSeconds * kSampleRate) : kBlockSamples;
    // A front end of our own, made from the decoder's configuration (model
    // parameters included), computes the same frames the decoder sees for
    // the cepstral-mean estimate (made above, with the decoder). It costs a
    // few percent of decoding.
    if (!frontEnd_) throw SpeechServiceError("The speech recognizer could not be started.");
    fe_start_stream(frontEnd_.get());
    fe_start_utt(frontEnd_.get());
    const size_t dimensions = static_cast<size_t>(fe_get_output_size(frontEnd_.get()));
    cepstra_.assign(kCepstraPerCall * dimensions, 0.0f);
    for (size_t i = 0; i < kCepstraPerCall; ++i) cepstraRows_.push_back(&cepstra_[i * dimensions]);
    estimate_.emplace(dimensions);
    startMean_.resize(dimensions);
    cmn_live_get(cmn(), startMean_.data());
    acousticModel_ = model.acousticModel;
    holding_ = mode == ReportingMode::kTranscription && settings.lookaheadSeconds > 0;
    // Live, the first utterances are decoded before their own speech can
    // count: the start mean weighs in until enough speech was heard, so
    // that a stretch of other sound (the residue of echo cancellation, say)
    // does not decide the mean alone.
    if (mode == ReportingMode::kLive) estimate_->seed(startMean_);
    usedMean_ = startMean_;
    utteranceEstimate_.emplace(dimensions);
    utteranceEstimate_->seed(startMean_);
  }

  void setSourceName(const std::string& source) override {
    if (received_ > 0 || ended_) throw SpeechServiceError("The audio source must be named before audio is given.");
    if (settings_.cepstralMeanDirectory.empty() || source.empty()) return;
    meanPath_ = settings_.cepstralMeanDirectory + "/" + cepstralMeanFileName(source, acousticModel_);
    if (std::optional<std::vector<float>> mean = readCepstralMean(meanPath_, startMean_.size())) {
      estimate_->seed(*mean);
      startMean_ = *mean;
      usedMean_ = startMean_;
      utteranceEstimate_->seed(startMean_);
      cmn_live_set(cmn(), startMean_.data());
    }
  }

  ~PocketSphinxRecognizer() override {
    if (!ended_) results_.finish();
  }

  void setContextualStrings(const std::vector<std::string>& phrases) override {
    if (received_ > 0 || ended_) throw SpeechServiceError("Contextual strings must be set before audio is given.");
    std::vector<std::vector<std::string>> known;
    for (const std::string& phrase : phrases) {
      std::vector<std::string> run;
      for (std::string& word : phraseWords(phrase)) {
        char* pron = ps_lookup_word(decoder_.get(), word.c_str());
        if (pron != nullptr) {
          ckd_free(pron);
          run.push_back(std::move(word));
        } else {
          // An unknown word breaks the phrase: no bigram across it.
          if (!run.empty()) known.push_back(std::move(run));
          run.clear();
        }
      }
      if (!run.empty()) known.push_back(std::move(run));
    }
    if (known.empty()) return;
    installContextModel(known);
  }

  void acceptWaveform(const PcmBuffer& buffer) override {
    if (ended_) throw SpeechServiceError("Audio was given after the input finished.");
    if (!(buffer.format() == PocketSphinxService::decoderFormat())) {
      fail("The audio is not in the speech recognizer's format.");
    }
    const float* in = buffer.floatChannel(0);
    if (in == nullptr) return;
    const uint32_t frames = buffer.frameLength();
    for (uint32_t i = 0; i < frames; ++i) {
      const float v = in[i];
      const float scaled = std::isfinite(v) ? std::clamp(v * 32767.0f, -32768.0f, 32767.0f) : 0.0f;
      pending_.push_back(static_cast<int16>(std::lrint(scaled)));
    }
    received_ += frames;
    if (pending_.size() >= batchSamples_) decodePending();
  }

  void inputFinished() override {
    if (ended_) return;
    decodePending();
    if (holding_) release();
    // The detector may have closed the last utterance in the last block:
    // then there is nothing left to finish.
    if (inUtterance_) {
      if (ps_end_utt(decoder_.get()) < 0) fail("Finishing speech recognition failed.");
      inUtterance_ = false;
      redecodeIfMeanMoved();
      emitUtterance(/*final=*/true);
    }
    // Only a mean of real speech is worth starting the next run from.
    if (!meanPath_.empty() && estimate_->heardSpeech()) writeCepstralMean(meanPath_, *estimate_->estimate());
    ended_ = true;
    results_.finish();
  }

  std::optional<RecognitionResult> nextResult() override {
    std::optional<QueueItem> item = results_.next();
    if (!item) return std::nullopt;
    if (!item->error.empty()) throw SpeechServiceError(item->error);
    return item->result;
  }

 private:
  [[noreturn]] void fail(const std::string& message) {
    if (!ended_) {
      ended_ = true;
      results_.add(QueueItem{std::nullopt, message});
      results_.finish();
    }
    throw SpeechServiceError(message);
  }

  cmn_t* cmn() { return ps_get_feat(decoder_.get())->cmn_struct; }

  // Everything gathered, block by block, to the estimate and the decoder
  // (or, while holding, to the held audio).
  void decodePending() {
    for (size_t offset = 0; offset < pending_.size(); offset += kBlockSamples) {
      const int16* block = pending_.data() + offset;
      const auto n = static_cast<uint32_t>(std::min<size_t>(kBlockSamples, pending_.size() - offset));
      listen(block, n);
      if (holding_) {
        held_.insert(held_.end(), block, block + n);
        if (static_cast<double>(held_.size()) >= settings_.lookaheadSeconds * kSampleRate) release();
      } else {
        processBlock(block, n);
      }
    }
    pending_.clear();
  }

  // Feeds the estimate's front end.
  void listen(const int16* samples, uint32_t n) {
    const int16* in = samples;
    size_t left = n;
    while (left > 0) {
      int32 frames = kCepstraPerCall;
      int32 index = 0;
      if (fe_process_frames(frontEnd_.get(), &in, &left, cepstraRows_.data(), &frames, &index) < 0) return;
      for (int32 f = 0; f < frames; ++f) {
        estimate_->add(cepstraRows_[static_cast<size_t>(f)]);
        if (mode_ == ReportingMode::kLive) utteranceEstimate_->add(cepstraRows_[static_cast<size_t>(f)]);
      }
      if (frames == 0 && left > 0) return;
    }
  }

  // The decoder's mean for the next utterance: the estimate, or the mean it
  // started from while the estimate has too little speech (instead of the
  // decoder's own, which near-silence drags).
  void applyMean() {
    usedMean_ = currentMean();
    cmn_live_set(cmn(), usedMean_.data());
  }

  // Transcription: the audio held back for the estimate is decoded now.
  void release() {
    holding_ = false;
    applyMean();
    for (size_t offset = 0; offset < held_.size(); offset += kBlockSamples) {
      processBlock(held_.data() + offset,
                   static_cast<uint32_t>(std::min<size_t>(kBlockSamples, held_.size() - offset)));
    }
    held_.clear();
    held_.shrink_to_fit();
  }

  void processBlock(const int16* samples, uint32_t n) {
    ps_decoder_t* ps = decoder_.get();
    if (!inUtterance_) {
      if (ps_start_utt(ps) < 0) fail("Speech recognition failed.");
      inUtterance_ = true;
    }
    if (ps_process_raw(ps, samples, n, FALSE, FALSE) < 0) fail("Speech recognition failed.");
    fed_ += n;
    const bool inSpeech = ps_get_in_speech(ps) != 0;
    if (mode_ == ReportingMode::kLive) keepUtteranceAudio(samples, n, inSpeech || heardSpeech_);
    if (inSpeech && !heardSpeech_) {
      heardSpeech_ = true;
      lastPartialCheck_ = fed_;
    } else if (!inSpeech && heardSpeech_) {
      // The detector has seen enough silence: the utterance is over.
      if (ps_end_utt(ps) < 0) fail("Speech recognition failed.");
      inUtterance_ = false;
      heardSpeech_ = false;
      redecodeIfMeanMoved();
      emitUtterance(/*final=*/true);
      applyMean();
      utterance_.clear();
      utteranceEstimate_.emplace(startMean_.size());
      utteranceEstimate_->seed(startMean_);
    } else if (inSpeech && mode_ == ReportingMode::kLive && fed_ - lastPartialCheck_ >= kPartialEverySamples) {
      lastPartialCheck_ = fed_;
      emitUtterance(/*final=*/false);
    }
  }

  // Live: the audio of the running utterance, kept for a second decoding.
  // Before its speech starts only the last second is kept (the detector
  // looks back less than that); an utterance longer than the cap is not
  // decoded again.
  void keepUtteranceAudio(const int16* samples, uint32_t n, bool speech) {
    if (utterance_.size() > kMaxRedecodeSamples) return;
    utterance_.insert(utterance_.end(), samples, samples + n);
    if (!speech && utterance_.size() > kLeadSamples) {
      utterance_.erase(utterance_.begin(), utterance_.end() - kLeadSamples);
    }
  }

  std::vector<float> currentMean() {
    const std::optional<std::vector<float>> mean = estimate_->estimate();
    return mean ? *mean : startMean_;
  }

  // The utterance just ended was decoded with usedMean_; when the estimate
  // has moved far from it meanwhile (its first speech, typically, heard
  // after only other sound set the mean), it is decoded again before its
  // final is sent, with the mean of its own loud frames (and the prior) if
  // it had enough of them: other sound heard before it does not count.
  void redecodeIfMeanMoved() {
    if (utterance_.empty() || utterance_.size() > kMaxRedecodeSamples) return;
    if (!estimate_->movedFrom(usedMean_)) return;
    const std::vector<float> mean = utteranceEstimate_->heardSpeech() ? *utteranceEstimate_->estimate() : currentMean();
    ps_decoder_t* ps = decoder_.get();
    cmn_live_set(cmn(), mean.data());
    if (ps_start_utt(ps) < 0 || ps_process_raw(ps, utterance_.data(), utterance_.size(), FALSE, FALSE) < 0 ||
        ps_end_utt(ps) < 0) {
      fail("Speech recognition failed.");
    }
    replayed_ += utterance_.size();
  }

  // Queues the current hypothesis with the time range of its words.
  // Volatile results only when the text changed; a final with no words only
  // when the utterance sent volatile results (it closes them, with their
  // times), so that every utterance seen by the reader ends with one final.
  void emitUtterance(bool isFinal) {
    ps_decoder_t* ps = decoder_.get();
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    std::string text = hyp != nullptr ? hyp : "";
    if (isFinal && text.empty() && lastVolatile_) {
      RecognitionResult closing = *lastVolatile_;
      closing.text.clear();
      closing.isFinal = true;
      lastVolatile_.reset();
      results_.add(QueueItem{std::move(closing), {}});
      return;
    }
    if (text.empty()) return;
    if (!isFinal && lastVolatile_ && text == lastVolatile_->text) return;
    int first = -1;
    int last = -1;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg != nullptr; seg = ps_seg_next(seg)) {
      if (isFiller(ps_seg_word(seg))) continue;
      int sf = 0;
      int ef = 0;
      ps_seg_frames(seg, &sf, &ef);
      if (first < 0) first = sf;
      last = std::max(last, ef + 1);
    }
    RecognitionResult result;
    result.text = std::move(text);
    const double fedSeconds = static_cast<double>(fed_) / kSampleRate;
    // The decoder's clock also counted the audio decoded a second time.
    const double replayedSeconds = static_cast<double>(replayed_) / kSampleRate;
    result.start = first >= 0 ? static_cast<double>(first) / kFramesPerSecond - replayedSeconds : fedSeconds;
    result.end =
        last >= 0 ? std::min(static_cast<double>(last) / kFramesPerSecond - replayedSeconds, fedSeconds) : fedSeconds;
    result.isFinal = isFinal;
    if (isFinal) {
      lastVolatile_.reset();
    } else {
      lastVolatile_ = result;
    }
    results_.add(QueueItem{std::move(result), {}});
  }

  // Interpolates the main model with a small one made of the phrases' words,
  // which raises those words' (and their in-phrase successors') weight.
  void installContextModel(const std::vector<std::vector<std::string>>& runs) {
    std::set<std::string> vocabulary;
    std::set<std::pair<std::string, std::string>> bigrams;
    for (const auto& run : runs) {
      for (size_t i = 0; i < run.size(); ++i) {
        vocabulary.insert(run[i]);
        if (i + 1 < run.size()) bigrams.emplace(run[i], run[i + 1]);
      }
    }
    std::ostringstream arpa;
    const double unigram = std::log10(1.0 / static_cast<double>(vocabulary.size() + 1));
    arpa << "\\data\\\nngram 1=" << vocabulary.size() + 2 << "\nngram 2=" << bigrams.size() << "\n\n\\1-grams:\n";
    arpa << "-99 <s> -0.30103\n" << unigram << " </s>\n";
    for (const std::string& w : vocabulary) arpa << unigram << ' ' << w << " -0.30103\n";
    arpa << "\n\\2-grams:\n";
    for (const auto& [a, b] : bigrams) arpa << "-0.30103 " << a << ' ' << b << '\n';
    arpa << "\n\\end\\\n";

    // The library reads models from files only: a private one in the
    // temporary directory, gone before the recognizer is used.
    std::string path = temporaryDirectory() + "/tavrin-context-XXXXXX";
    UniqueFd file(::mkostemp(path.data(), O_CLOEXEC));
    if (!file.valid()) throw SpeechServiceError("The contextual strings could not be prepared.");
    const std::string text = arpa.str();
    const bool written = ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    file.reset();
    NgramPtr context;
    if (written) {
      context.reset(ngram_model_read(config_.get(), path.c_str(), NGRAM_ARPA, ps_get_logmath(decoder_.get())));
    }
    ::unlink(path.c_str());
    if (!context) throw SpeechServiceError("The contextual strings could not be prepared.");

    // The name the decoder gives the search over its -lm model. (Asking
    // ps_get_search() for it leaks an iterator in this library version.)
    ngram_model_t* main = ps_get_lm(decoder_.get(), "_default");
    if (main == nullptr) throw SpeechServiceError("The contextual strings could not be prepared.");
    // The set takes its own reference to each model; ours to the context
    // model is released when `context` goes out of scope.
    ngram_model_t* models[2] = {main, context.get()};
    char mainName[] = "main";
    char contextName[] = "context";
    char* names[2] = {mainName, contextName};
    const float32 weights[2] = {1.0f - settings_.contextWeight, settings_.contextWeight};
    NgramPtr set(ngram_model_set_init(config_.get(), models, names, weights, 2));
    if (!set) throw SpeechServiceError("The contextual strings could not be prepared.");
    if (ps_end_utt(decoder_.get()) < 0 || ps_set_lm(decoder_.get(), "context", set.get()) < 0 ||
        ps_set_search(decoder_.get(), "context") < 0 || ps_start_utt(decoder_.get()) < 0) {
      throw SpeechServiceError("The contextual strings could not be applied.");
    }
  }

  ReportingMode mode_;
  PocketSphinxSettings settings_;
  ConfigPtr config_;
  DecoderPtr decoder_;
  size_t batchSamples_ = kBlockSamples;
  std::vector<int16> pending_;  // received, not yet decoded (less than a batch)
  FrontEndPtr frontEnd_;
  std::vector<float> cepstra_;
  std::vector<float*> cepstraRows_;
  std::optional<CepstralMeanEstimate> estimate_;
  std::optional<CepstralMeanEstimate> utteranceEstimate_;  // live: of the running utterance's frames
  std::vector<float> startMean_;                           // the decoder's mean before any audio
  std::string acousticModel_;
  std::string meanPath_;  // where this source's estimate is kept, or empty
  bool holding_ = false;  // transcription: audio is held back for the estimate
  std::vector<int16> held_;
  std::vector<int16> utterance_;  // live: the running utterance's audio
  std::vector<float> usedMean_;   // the mean the running utterance is decoded with
  uint64_t replayed_ = 0;         // samples decoded a second time
  uint64_t received_ = 0;
  uint64_t fed_ = 0;
  uint64_t lastPartialCheck_ = 0;
  bool inUtterance_ = true;
  bool heardSpeech_ = false;
  bool ended_ = false;
  std::optional<RecognitionResult> lastVolatile_;  // of the running utterance
  UnboundedStream<QueueItem> results_;
};

}  // namespace

std::vector<std::string> liveDecoderOptions(const PocketSphinxSettings& settings) {
  std::vector<std::string> options = {"-fwdflat", settings.liveFlatPass ? "yes" : "no"};
  if (settings.liveMaxActiveHmms > 0) {
    options.insert(options.end(), {"-maxhmmpf", std::to_string(settings.liveMaxActiveHmms)});
  }
  if (settings.liveMaxWordsPerFrame > 0) {
    options.insert(options.end(), {"-maxwpf", std::to_string(settings.liveMaxWordsPerFrame)});
  }
  return options;
}

bool modelLoads(const ModelFiles& model, const PocketSphinxSettings& settings) {
  silenceEngineLog();
  const std::string key = modelKey(model);
  std::vector<std::string> loaded;
  if (!settings.loadedModelsFile.empty()) {
    loaded = readLoadedModels(settings.loadedModelsFile);
    if (std::find(loaded.begin(), loaded.end(), key) != loaded.end()) return true;
  }
  if (!loadsInChild(parseConfig(decoderArguments(model, settings.transcriptionEndSilenceFrames)).get())) return false;
  if (!settings.loadedModelsFile.empty()) {
    loaded.push_back(key);
    if (loaded.size() > kMaxLoadedModels) loaded.erase(loaded.begin(), loaded.end() - kMaxLoadedModels);
    std::string text;
    for (const std::string& k : loaded) text += k + '\n';
    writeKeptFile(settings.loadedModelsFile, text);
  }
  return true;
}

PocketSphinxService::PocketSphinxService(ModelCatalog catalog, PocketSphinxSettings settings)
    : catalog_(std::move(catalog)), settings_(settings) {}

PocketSphinxSettings PocketSphinxService::settingsFromProcess() {
  const ModelSearchPaths paths = ModelSearchPaths::fromProcess();
  PocketSphinxSettings settings;
  if (!paths.cacheHome.empty()) {
    settings.loadedModelsFile = paths.cacheHome + "/tavrin/speech/loaded-models";
    settings.cepstralMeanDirectory = paths.cacheHome + "/tavrin/speech/sources";
  }
  return settings;
}

std::unique_ptr<PocketSphinxService> PocketSphinxService::fromProcess() {
  return std::make_unique<PocketSphinxService>(ModelCatalog(ModelSearchPaths::fromProcess()), settingsFromProcess());
}

bool PocketSphinxService::isAvailable() {
  return true;
}

std::optional<std::string> PocketSphinxService::supportedLocale(const std::string& localeIdentifier) {
  return ModelCatalog::match(localeIdentifier);
}

std::vector<std::string> PocketSphinxService::supportedLocales() {
  return ModelCatalog::knownLocales();
}

AssetStatus PocketSphinxService::assetStatus(const std::string& localeIdentifier) {
  const AssetStatus status = catalog_.status(localeIdentifier);
  // A model that does not load is no more installed than a partial one.
  if (status == AssetStatus::kInstalled && !modelLoads(*catalog_.installedModel(localeIdentifier), settings_)) {
    return AssetStatus::kDownloading;
  }
  return status;
}

void PocketSphinxService::installAssets(const std::string& localeIdentifier, const KeepWaiting&) {
  switch (catalog_.status(localeIdentifier)) {
    case AssetStatus::kInstalled:
      if (modelLoads(*catalog_.installedModel(localeIdentifier), settings_)) return;
      throw SpeechServiceError("The speech model for locale " + localeIdentifier +
                               " could not be loaded; install its files again into " +
                               catalog_.installDirectory(localeIdentifier));
    case AssetStatus::kUnsupported:
      throw SpeechServiceError("No speech model is known for locale " + localeIdentifier + ".");
    case AssetStatus::kSupported:
    case AssetStatus::kDownloading: break;
  }
  if (const std::optional<std::string> damage = catalog_.damage(localeIdentifier)) {
    throw SpeechServiceError("The speech model for locale " + localeIdentifier + " is damaged (" + *damage +
                             "); install its files again into " + catalog_.installDirectory(localeIdentifier));
  }
  throw SpeechServiceError("The speech model for locale " + localeIdentifier +
                           " is not installed and cannot be downloaded here; install its files (acoustic-model/, "
                           "language-model.lm.bin, dictionary.dict) into " +
                           catalog_.installDirectory(localeIdentifier));
}

std::optional<PcmFormat> PocketSphinxService::inputFormat(const std::string& localeIdentifier) {
  if (catalog_.status(localeIdentifier) == AssetStatus::kUnsupported) return std::nullopt;
  return decoderFormat();
}

std::unique_ptr<Recognizer> PocketSphinxService::makeRecognizer(const std::string& localeIdentifier,
                                                                ReportingMode mode) {
  const std::optional<ModelFiles> model = catalog_.installedModel(localeIdentifier);
  if (!model) {
    installAssets(localeIdentifier, {});  // throws with the reason
    throw SpeechServiceError("The speech model for locale " + localeIdentifier + " is not installed.");
  }
  return makePocketSphinxRecognizer(*model, mode, settings_);
}

std::unique_ptr<Recognizer> makePocketSphinxRecognizer(const ModelFiles& model, ReportingMode mode,
                                                       const PocketSphinxSettings& settings) {
  return std::make_unique<PocketSphinxRecognizer>(model, mode, settings);
}

}  // namespace tavrin::speech
