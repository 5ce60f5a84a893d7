#include "apple-speech/helper_error.h"

namespace tavrin::apple_speech {

std::string HelperError::description(Kind kind, const std::string& payload) {
  switch (kind) {
    case Kind::kUnsupportedLocale: return "Apple SpeechTranscriber does not support locale " + payload + ".";
    case Kind::kDecodeFailed: return "Could not decode the media file: " + payload;
    case Kind::kUnsupportedOS: return "Apple SpeechAnalyzer requires macOS 26.0 or later.";
    case Kind::kUnavailable: return "Apple SpeechTranscriber is not available on this device.";
    case Kind::kInvalidArguments: return "Invalid helper arguments.";
    case Kind::kInvalidAudio: return "Invalid audio input.";
    case Kind::kIncompatibleAudioFormat: return "No compatible SpeechAnalyzer audio format is installed.";
  }
  return "Invalid helper arguments.";
}

}  // namespace tavrin::apple_speech
