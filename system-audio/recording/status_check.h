// The `status` check: can system audio be captured at all?
#pragma once

#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"
#include "system-audio/sources/screen_capture.h"

namespace tavrin::system_audio {

// "available" when the process-tap gate holds; otherwise asks the
// screen-capture service: its failure is "unavailable" with the service's
// description as the reason, no display is "no_display", any display is
// "available". Never throws for a capture problem.
SystemAudioStatus checkStatus(PlatformGates& gates, ScreenCaptureService& service);

}  // namespace tavrin::system_audio
