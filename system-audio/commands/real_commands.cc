// The operations of this build. Each capability module replaces its entry
// when it lands; until then the command fails naming what is missing.
#include <string>

#include "common/locale.h"
#include "system-audio/commands/errors.h"
#include "system-audio/commands/tavrin_system_audio.h"
#include "system-audio/translation/apertium.h"
#include "system-audio/translation/translation_status.h"

namespace tavrin::system_audio {

namespace {

[[noreturn]] void notBuilt(const std::string& capability) {
  throw PlatformError("This build of tavrin-system-audio has no " + capability + ".");
}

class BuiltInGates final : public PlatformGates {
 public:
  // Capture through the sound server is not part of this build yet.
  bool processTapAvailable() override { return false; }
  // Speech, translation and language-model services are built in.
  bool onDeviceServicesAvailable() override { return true; }
};

}  // namespace

PlatformGates& realGates() {
  static BuiltInGates gates;
  return gates;
}

Commands realCommands(SystemEnv&, PlatformGates&) {
  Commands commands;
  commands.status = []() -> SystemAudioStatus { notBuilt("system audio capture"); };
  commands.probe = [](uint64_t) -> EncodedReply { notBuilt("system audio capture"); };
  commands.record = [](const RecordRequest&) -> EncodedReply { notBuilt("system audio capture"); };
  commands.live = [](const LiveRequest&) { notBuilt("live subtitles"); };
  commands.translationStatus = [](const std::optional<std::string>& source, const std::string& target) {
    ApertiumTranslationService service;
    return encodeReply(translationStatus(source, target, service, currentLocaleIdentifier()));
  };
  return commands;
}

}  // namespace tavrin::system_audio
