// Errors of tavrin-apple-speech. Every failure reaches the entry point as an
// exception whose what() is the exact text written on standard error.
#pragma once

#include <stdexcept>
#include <string>

namespace tavrin::apple_speech {

class HelperError : public std::runtime_error {
 public:
  enum class Kind {
    kUnsupportedLocale,  // payload: locale identifier
    kDecodeFailed,       // payload: reason
    kUnsupportedOS,
    kUnavailable,
    kInvalidArguments,
    kInvalidAudio,
    kIncompatibleAudioFormat,
  };

  static HelperError unsupportedLocale(const std::string& identifier) {
    return HelperError(Kind::kUnsupportedLocale, identifier);
  }
  static HelperError decodeFailed(const std::string& reason) { return HelperError(Kind::kDecodeFailed, reason); }
  static HelperError unsupportedOS() { return HelperError(Kind::kUnsupportedOS); }
  static HelperError unavailable() { return HelperError(Kind::kUnavailable); }
  static HelperError invalidArguments() { return HelperError(Kind::kInvalidArguments); }
  static HelperError invalidAudio() { return HelperError(Kind::kInvalidAudio); }
  static HelperError incompatibleAudioFormat() { return HelperError(Kind::kIncompatibleAudioFormat); }

  Kind kind() const { return kind_; }
  // The message of a case, as what() returns it.
  static std::string description(Kind kind, const std::string& payload = {});

 private:
  explicit HelperError(Kind kind, const std::string& payload = {})
      : std::runtime_error(description(kind, payload)), kind_(kind) {}

  Kind kind_;
};

// A failure reported by a library or the operating system, carrying its own
// description (a file that cannot be read, a failed write, an engine error).
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tavrin::apple_speech
