// The operations of this build, on this machine's sound server and
// services.
#include <string>

#include "common/locale.h"
#include "speech-service/routing/machine_speech.h"
#include "system-audio/base/errors.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "system-audio/commands/translation_status.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/real_live.h"
#include "system-audio/recording/probe.h"
#include "system-audio/recording/record_audio.h"
#include "system-audio/recording/status_check.h"
#include "system-audio/sound-server/sound_server.h"
#include "system-audio/sources/screen_capture.h"
#include "system-audio/sources/system_audio_tap.h"

namespace tavrin::system_audio {

namespace {

class BuiltInGates final : public PlatformGates {
 public:
  // Direct capture from the sound server: a reachable server with a default
  // sink that has a monitor. Asked afresh each time.
  bool processTapAvailable() override { return tapCapabilityHolds(pulseSoundServer()); }
  // Speech, translation and language-model services are built in.
  bool onDeviceServicesAvailable() override { return true; }
};

}  // namespace

PlatformGates& realGates() {
  static BuiltInGates gates;
  return gates;
}

Commands realCommands(SystemEnv& env, PlatformGates& gates) {
  Commands commands;
  commands.status = [&gates]() {
    auto screenCapture = makeSoundServerScreenCapture(pulseSoundServer());
    return checkStatus(gates, *screenCapture);
  };
  commands.probe = [&env](uint64_t seconds) {
    auto screenCapture = makeSoundServerScreenCapture(pulseSoundServer());
    return encodeReply(runProbe(seconds, *screenCapture, env));
  };
  commands.record = [&env, &gates](const RecordRequest& request) {
    auto screenCapture = makeSoundServerScreenCapture(pulseSoundServer());
    RecordingPlatform platform{env, gates, pulseSoundServer(), *screenCapture};
    return encodeReply(recordAudio(request, platform));
  };
  commands.live = [&env](const LiveRequest& request) { runRealLiveSubtitles(request, env); };
  commands.translationStatus = [](const std::optional<std::string>& source, const std::string& target) {
    ApertiumTranslationService service;
    speech::MachineSpeech speech;
    return encodeReply(translationStatus(source, target, service, currentLocaleIdentifier(), &speech.service()));
  };
  return commands;
}

}  // namespace tavrin::system_audio
