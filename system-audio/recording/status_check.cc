#include "system-audio/recording/status_check.h"

#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

SystemAudioStatus checkStatus(PlatformGates& gates, ScreenCaptureService& service) {
  if (gates.processTapAvailable()) return SystemAudioStatus{true, "available", std::nullopt};
  std::vector<CaptureDisplay> displays;
  try {
    displays = service.shareableContent();
  } catch (const PlatformError& error) {
    return SystemAudioStatus{false, "unavailable", std::string(error.what())};
  }
  if (displays.empty())
    return SystemAudioStatus{false, "no_display", std::string(SystemAudioError::noDisplay().what())};
  return SystemAudioStatus{true, "available", std::nullopt};
}

}  // namespace tavrin::system_audio
