// The command line of tavrin-apple-llm: argument grammar, reading the input
// file, availability replies, the two generation passes and the one-line
// failure report. Everything here is independent of the real model; main
// (tavrin_apple_llm_main.cc) plugs in llama.cpp.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "apple-llm/model.h"
#include "apple-llm/records.h"

namespace tavrin::llm {

// The program's own failures; what() is the exact text reported.
class HelperError : public std::runtime_error {
 public:
  static HelperError fileNotFound(const std::string& path) { return HelperError("Transcript file not found: " + path); }
  static HelperError unavailable(const std::string& message) { return HelperError(message); }
  static HelperError unsupportedOS() { return HelperError("Apple Foundation Models requires macOS 26.0 or later."); }
  static HelperError invalidArguments() { return HelperError("Invalid arguments."); }
  static HelperError emptyTranscript() { return HelperError("Transcript is empty."); }
  static HelperError tooLong() { return HelperError("Transcript is too long."); }

 private:
  using std::runtime_error::runtime_error;
};

struct GenerateArgs {
  std::string path;
  std::optional<std::string> language;
};

struct AvailabilityResponse {
  bool available = false;
  std::string status;
  std::optional<std::string> reason;

  std::string toJson() const;
};

// `args` excludes the program path: args[0] is the command.
GenerateArgs parseGenerateArgs(const std::vector<std::string>& args);

// A transcript as read: its text, or only the fact that the text is longer
// than 16 MiB (no model's context holds that much).
struct Transcript {
  std::string text;
  bool tooLong = false;
};

// The file's UTF-8 text without leading and trailing Unicode white space and
// line breaks. Throws fileNotFound when nothing is at `path`, and
// emptyTranscript when that text is empty; a file that cannot be read as
// UTF-8, or is no regular file, reads as empty. Too long is not an error
// here: the passes report it after availability.
Transcript readTranscript(const std::string& path);

std::string describe(UnavailableReason reason);
AvailabilityResponse availability(LanguageModel& model);
void ensureAvailable(LanguageModel& model);

// The two passes: one fresh session, one request, the record as generated.
Extract extract(LanguageModel& model, const std::string& section, const std::optional<std::string>& language);
Overview synthesize(LanguageModel& model, const std::string& notes, const std::optional<std::string>& language);

// What the platform offers this run. On this platform the model service
// comes with the helper: when its engine is missing or cannot run here, the
// model itself reports unavailable, so `modelServiceAvailable` is true
// except when tests pose as a system without any model service.
struct Platform {
  LanguageModel& model;
  bool modelServiceAvailable = true;
};

// The outcome of one run: exit status 0 with the reply (no line feed), or 1
// with the error text (no line feed) and no reply.
struct RunOutcome {
  int exitStatus = 1;
  std::string out;
  std::string err;
};

RunOutcome runTavrinAppleLLM(const std::vector<std::string>& args, Platform& platform);

// Runs and writes the outcome: the reply line on standard output, or the one
// error line on standard error. A reply that cannot be written becomes a
// failure. Returns the exit status.
int runAndReport(const std::vector<std::string>& args, Platform& platform);

}  // namespace tavrin::llm
