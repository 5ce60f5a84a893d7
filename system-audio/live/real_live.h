// The live command on this machine: the sound server's captures, the
// machine's speech engines (speech-service/routing/machine_speech.h),
// Apertium translation.
#pragma once

#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"

namespace tavrin::system_audio {

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env);

}  // namespace tavrin::system_audio
