#include "apple-llm/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "apple-llm/grammar.h"
#include "apple-llm/prompts.h"
#include "common/json.h"
#include "common/output.h"
#include "common/text.h"
#include "common/unique_fd.h"

namespace tavrin::llm {
namespace {

// Far more text than any model's context holds: a longer transcript is
// refused. The file is still read to its end, in pieces and without keeping
// more than this, since an invalid byte anywhere makes it empty instead.
constexpr size_t kMaximumTranscriptBytes = size_t{16} << 20;

// Reads text as it arrives, in pieces of any size: checks that it is
// well-formed UTF-8 and keeps it without leading and trailing white space
// and line breaks, up to kMaximumTranscriptBytes of that trimmed text.
class TranscriptScanner {
 public:
  // False once the bytes so far are not UTF-8: nothing that follows can
  // make them so.
  bool feed(std::string_view bytes) {
    for (const char c : bytes) {
      const std::string_view byte(&c, 1);
      if (!valid_ || !utf8_.accepts(byte)) return valid_ = false;
      utf8_.append(byte);
      pending_ += c;
      if (utf8_.complete()) {
        addCharacter();
        pending_.clear();
      }
    }
    return true;
  }

  // The trimmed text; empty when the input is not UTF-8 or only white space.
  Transcript finish() {
    if (!valid_ || !utf8_.complete()) return {};
    if (tooLong_) return {std::string(), true};
    text_.resize(lastEnd_);
    return {std::move(text_), false};
  }

 private:
  void addCharacter() {
    const auto* p = reinterpret_cast<const unsigned char*>(pending_.data());
    char32_t c = p[0];
    if (pending_.size() > 1) {
      c = p[0] & (0x7F >> pending_.size());
      for (size_t i = 1; i < pending_.size(); ++i) c = (c << 6) | (p[i] & 0x3F);
    }
    const bool space = isUnicodeWhiteSpace(c);
    if (!started_ && space) return;
    started_ = true;
    total_ += pending_.size();
    if (!space) lastEnd_ = total_;
    if (lastEnd_ > kMaximumTranscriptBytes) tooLong_ = true;
    // White space past the limit is only counted: it is either trimmed at
    // the end or followed by more text, which makes the whole too long.
    if (!tooLong_ && text_.size() + pending_.size() <= kMaximumTranscriptBytes) text_ += pending_;
  }

  Utf8Prefix utf8_;
  std::string pending_;  // bytes of the character being read
  bool valid_ = true;
  bool started_ = false;
  bool tooLong_ = false;
  size_t total_ = 0;    // bytes from the first non-space character on
  size_t lastEnd_ = 0;  // of those, up to the end of the last non-space one
  std::string text_;
};

// The trimmed text of a regular file; empty when any read fails (a
// directory, no permission) or when it is not a regular file at all (a FIFO
// would wait for a writer, a device could be endless).
Transcript scanFile(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) return {};
  const int fd = file.get();
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return {};
  TranscriptScanner scanner;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    if (n == 0) break;
    if (!scanner.feed(std::string_view(buffer, static_cast<size_t>(n)))) return {};
  }
  return scanner.finish();
}

template <typename Record>
Record runPass(LanguageModel& model, const PassParameters& pass, const std::string& instructions,
               const std::string& input, const std::optional<std::string>& language) {
  ensureAvailable(model);
  std::unique_ptr<LanguageModelSession> session = model.openSession(instructions);
  const std::string prompt = buildPrompt(pass, input, language);
  const std::string value =
      session->respond(prompt, *pass.schema, GenerationOptions{pass.temperature, pass.maximumResponseTokens});
  return Record::fromGenerated(value);
}

// The text of a transcript that is not too long. Length is the last check:
// an unavailable model is reported first.
std::string transcriptWithinLimit(Transcript transcript, LanguageModel& model) {
  if (!transcript.tooLong) return std::move(transcript.text);
  ensureAvailable(model);
  throw HelperError::tooLong();
}

}  // namespace

std::string AvailabilityResponse::toJson() const {
  JsonBuilder b(SlashStyle::kPlain);
  b.beginObject().field("available", available).field("status", status).optionalField("reason", reason).endObject();
  return b.take();
}

GenerateArgs parseGenerateArgs(const std::vector<std::string>& args) {
  if (args.size() < 2) throw HelperError::invalidArguments();
  GenerateArgs parsed{args[1], std::nullopt};
  if (args.size() >= 3 && args[2].rfind("--", 0) != 0) parsed.language = args[2];
  return parsed;
}

Transcript readTranscript(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw HelperError::fileNotFound(path);
  Transcript transcript = scanFile(path);
  if (transcript.text.empty() && !transcript.tooLong) throw HelperError::emptyTranscript();
  return transcript;
}

std::string describe(UnavailableReason reason) {
  switch (reason) {
    case UnavailableReason::kDeviceNotEligible: return "This device does not support Apple Intelligence.";
    case UnavailableReason::kAppleIntelligenceNotEnabled:
      return "Enable Apple Intelligence in System Settings to generate summaries.";
    case UnavailableReason::kModelNotReady: return "The on-device model is still downloading. Try again shortly.";
    case UnavailableReason::kOther: break;
  }
  return "Apple Intelligence is unavailable on this device.";
}

AvailabilityResponse availability(LanguageModel& model) {
  const ModelAvailability a = model.availability();
  if (a.available) return {true, "available", std::nullopt};
  return {false, "unavailable", describe(a.reason)};
}

void ensureAvailable(LanguageModel& model) {
  const AvailabilityResponse reply = availability(model);
  if (reply.available) return;
  throw HelperError::unavailable(reply.reason.value_or("Apple Intelligence is unavailable."));
}

Extract extract(LanguageModel& model, const std::string& section, const std::optional<std::string>& language) {
  return runPass<Extract>(model, extractPass(), extractInstructions(language), section, language);
}

Overview synthesize(LanguageModel& model, const std::string& notes, const std::optional<std::string>& language) {
  return runPass<Overview>(model, synthesizePass(), synthesizeInstructions(language), notes, language);
}

RunOutcome runTavrinAppleLLM(const std::vector<std::string>& args, Platform& platform) {
  try {
    if (args.empty()) throw HelperError::invalidArguments();
    if (!platform.modelServiceAvailable) throw HelperError::unsupportedOS();
    const std::string& command = args[0];
    std::string reply;
    if (command == "status") {
      reply = availability(platform.model).toJson();
    } else if (command == "extract") {
      const GenerateArgs parsed = parseGenerateArgs(args);
      const std::string text = transcriptWithinLimit(readTranscript(parsed.path), platform.model);
      reply = extract(platform.model, text, parsed.language).toJson();
    } else if (command == "synthesize") {
      const GenerateArgs parsed = parseGenerateArgs(args);
      const std::string text = transcriptWithinLimit(readTranscript(parsed.path), platform.model);
      reply = synthesize(platform.model, text, parsed.language).toJson();
    } else {
      throw HelperError::invalidArguments();
    }
    return {0, std::move(reply), {}};
  } catch (const std::exception& e) {
    // One line, valid UTF-8: a multi-line engine message is folded.
    return {1, {}, failureLine(e.what())};
  }
}

int runAndReport(const std::vector<std::string>& args, Platform& platform) {
  RunOutcome outcome = runTavrinAppleLLM(args, platform);
  if (outcome.exitStatus == 0) {
    const int error = writeStdoutLine(outcome.out);
    if (error == 0) return 0;
    outcome.err = errnoDescription(error);
  }
  writeStderrLine(outcome.err);
  return 1;
}

}  // namespace tavrin::llm
