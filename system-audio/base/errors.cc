#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

SystemAudioError SystemAudioError::invalidCommand(const std::string& word) {
  return {Case::kInvalidCommand, "Unknown system audio command: " + word + "."};
}
SystemAudioError SystemAudioError::outputUnavailable(const std::string& path) {
  return {Case::kOutputUnavailable, "Could not open system audio output file: " + path + "."};
}
SystemAudioError SystemAudioError::unsupportedLocale(const std::string& identifier) {
  return {Case::kUnsupportedLocale, "Apple SpeechTranscriber does not support locale " + identifier + "."};
}
SystemAudioError SystemAudioError::streamStopped(const std::string& description) {
  return {Case::kStreamStopped, "System audio stream stopped: " + description + "."};
}
SystemAudioError SystemAudioError::missingOutputPath() {
  return {Case::kMissingOutputPath, "Missing --output path for system audio recording."};
}
SystemAudioError SystemAudioError::missingTargetLanguage() {
  return {Case::kMissingTargetLanguage, "Missing --target language for translation status."};
}
SystemAudioError SystemAudioError::noDisplay() {
  return {Case::kNoDisplay, "No display is available for ScreenCaptureKit content filtering."};
}
SystemAudioError SystemAudioError::liveUnsupported() {
  return {Case::kLiveUnsupported, "Live subtitles require macOS 26.0 or later."};
}
SystemAudioError SystemAudioError::speechUnavailable() {
  return {Case::kSpeechUnavailable, "Apple SpeechTranscriber is not available on this device."};
}
SystemAudioError SystemAudioError::incompatibleAudioFormat() {
  return {Case::kIncompatibleAudioFormat, "No compatible SpeechAnalyzer audio format is installed."};
}

CoreAudioError::CoreAudioError(std::string op, int32_t status)
    : std::runtime_error("CoreAudio error (" + op + "): " + std::to_string(status)),
      op_(std::move(op)),
      status_(status) {}

}  // namespace tavrin::system_audio
