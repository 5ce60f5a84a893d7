// The operations of this build. Each capability module replaces its entry
// when it lands; until then the command fails naming what is missing.
#include <string>

#include "system-audio/capture/screen_capture.h"
#include "system-audio/capture/sound_server.h"
#include "system-audio/capture/system_audio_tap.h"
#include "system-audio/commands/errors.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "system-audio/recording/probe.h"
#include "system-audio/recording/record_audio.h"
#include "system-audio/recording/status_check.h"

namespace tavrin::system_audio {

namespace {

[[noreturn]] void notBuilt(const std::string& capability) {
  throw PlatformError("This build of tavrin-system-audio has no " + capability + ".");
}

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
  commands.live = [](const LiveRequest&) { notBuilt("live subtitles"); };
  commands.translationStatus = [](const std::optional<std::string>&, const std::string&) -> EncodedReply {
    notBuilt("translation service");
  };
  return commands;
}

}  // namespace tavrin::system_audio
