// The live command on this machine: the sound server's captures, the
// PocketSphinx speech service, Apertium translation.
#pragma once

#include "system-audio/commands/system_env.h"
#include "system-audio/commands/tavrin_system_audio.h"

namespace tavrin::system_audio {

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env);

}  // namespace tavrin::system_audio
