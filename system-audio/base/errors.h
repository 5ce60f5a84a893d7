// Errors of tavrin-system-audio. Each carries the exact text that the program
// writes on standard error when it reaches main.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tavrin::system_audio {

class SystemAudioError : public std::runtime_error {
 public:
  enum class Case {
    kInvalidCommand,
    kOutputUnavailable,
    kUnsupportedLocale,
    kStreamStopped,
    kMissingOutputPath,
    kMissingTargetLanguage,
    kNoDisplay,
    kLiveUnsupported,
    kSpeechUnavailable,
    kIncompatibleAudioFormat,
  };

  static SystemAudioError invalidCommand(const std::string& word);
  static SystemAudioError outputUnavailable(const std::string& path);
  static SystemAudioError unsupportedLocale(const std::string& identifier);
  static SystemAudioError streamStopped(const std::string& description);
  static SystemAudioError missingOutputPath();
  static SystemAudioError missingTargetLanguage();
  static SystemAudioError noDisplay();
  static SystemAudioError liveUnsupported();
  static SystemAudioError speechUnavailable();
  static SystemAudioError incompatibleAudioFormat();

  Case errorCase() const { return case_; }

 private:
  SystemAudioError(Case c, const std::string& text) : std::runtime_error(text), case_(c) {}
  Case case_;
};

// A failed step of starting or running capture on the sound server: `op` names
// the step, `status` is the server's (signed) error number.
class CoreAudioError : public std::runtime_error {
 public:
  CoreAudioError(std::string op, int32_t status);
  const std::string& op() const { return op_; }
  int32_t status() const { return status_; }

 private:
  std::string op_;
  int32_t status_;
};

// A stop signal (stop file, parent exit, termination signal) came while a
// step was still waiting: the run ends as if it had been stopped right
// after that step, with what it has so far. Not a failure.
class StopRequested : public std::runtime_error {
 public:
  StopRequested() : std::runtime_error("stopped") {}
};

// Any other failure that carries the platform's own description (a sound
// server message, an errno text, an engine's message).
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavrin::system_audio
