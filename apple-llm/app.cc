#include "apple-llm/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "apple-llm/prompts.h"
#include "common/json.h"
#include "common/output.h"

namespace tavrin::llm {
namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Far more text than any model's context holds; reading stops here, so a
// huge file costs neither the time nor the memory to read it whole.
constexpr size_t kMaximumTranscriptBytes = size_t{16} << 20;

// Whole file, or nothing when any read fails (a directory, no permission).
// Throws HelperError::tooLong past kMaximumTranscriptBytes.
std::optional<std::string> readWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FdCloser closer{fd};
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > kMaximumTranscriptBytes) throw HelperError::tooLong();
  }
  return data;
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the code point of valid UTF-8 starting at `p`, of `len` bytes.
char32_t decodeAt(const unsigned char* p, size_t len) {
  if (len == 1) return p[0];
  char32_t c = p[0] & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) c = (c << 6) | (p[i] & 0x3F);
  return c;
}

size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
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

std::string trimWhitespaceAndNewlines(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end) {
    const size_t len = sequenceLength(bytes[begin]);
    if (begin + len > end || !isWhitespaceOrNewline(decodeAt(bytes + begin, len))) break;
    begin += len;
  }
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (bytes[start] & 0xC0) == 0x80) --start;
    if (!isWhitespaceOrNewline(decodeAt(bytes + start, end - start))) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string readTranscript(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw HelperError::fileNotFound(path);
  std::string text = readWholeFile(path).value_or(std::string());
  if (sanitizeUtf8(text) != text) text.clear();  // not UTF-8: read as empty
  std::string trimmed = trimWhitespaceAndNewlines(text);
  if (trimmed.empty()) throw HelperError::emptyTranscript();
  return trimmed;
}

std::string describe(UnavailableReason reason) {
  switch (reason) {
    case UnavailableReason::kDeviceNotEligible:
      return "This device does not support Apple Intelligence.";
    case UnavailableReason::kAppleIntelligenceNotEnabled:
      return "Enable Apple Intelligence in System Settings to generate summaries.";
    case UnavailableReason::kModelNotReady:
      return "The on-device model is still downloading. Try again shortly.";
    case UnavailableReason::kOther:
      break;
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
      const std::string text = readTranscript(parsed.path);
      reply = extract(platform.model, text, parsed.language).toJson();
    } else if (command == "synthesize") {
      const GenerateArgs parsed = parseGenerateArgs(args);
      const std::string text = readTranscript(parsed.path);
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
