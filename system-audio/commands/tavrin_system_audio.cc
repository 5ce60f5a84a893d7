#include "system-audio/commands/tavrin_system_audio.h"

#include <exception>

#include "common/output.h"
#include "system-audio/base/errors.h"
#include "system-audio/sound-server/sound_server.h"

namespace tavrin::system_audio {

namespace {

// Writes one reply line; a reply that cannot be delivered is a failure.
void writeJSON(SystemEnv& env, const EncodedReply& reply) {
  if (const int error = env.writeStdoutLine(reply)) throw PlatformError(errnoDescription(error));
}

void dispatch(const Arguments& args, Platform& platform) {
  const std::string command = args.command();
  Commands& commands = platform.commands;
  // Only the long runs stop on a signal; the others end by it as usual.
  if (command != "record" && command != "live") platform.env.releaseTerminationSignals();
  if (command == "status") {
    writeJSON(platform.env, encodeReply(commands.status()));
  } else if (command == "probe") {
    const uint64_t seconds = args.parseDuration();
    writeJSON(platform.env, commands.probe(seconds));
  } else if (command == "record") {
    RecordRequest request;
    request.outputPath = args.parseOutputPath();
    request.seconds = args.parseOptionalDuration();
    request.stopFilePath = args.parseStopFilePath();
    request.startFilePath = args.parseArgValue("--start-file");
    // A termination signal stops the recording like a stop file does.
    platform.env.holdTerminationSignals();
    writeJSON(platform.env, commands.record(request));
  } else if (command == "live") {
    if (!platform.gates.onDeviceServicesAvailable()) throw SystemAudioError::liveUnsupported();
    LiveRequest request;
    request.language = args.parseArgValue("--language");
    request.translateTo = args.parseArgValue("--translate-to");
    request.stopFilePath = args.parseArgValue("--stop-file");
    request.micEnabled = !args.hasFlag("--no-mic");
    request.systemEnabled = !args.hasFlag("--no-system");
    request.echoCancellation = args.hasFlag("--echo-cancel");
    platform.env.holdTerminationSignals();
    commands.live(request);
  } else if (command == "translation-status") {
    if (!platform.gates.onDeviceServicesAvailable()) throw SystemAudioError::liveUnsupported();
    const auto target = args.parseArgValue("--target");
    if (!target) throw SystemAudioError::missingTargetLanguage();
    const auto source = args.parseArgValue("--source");
    writeJSON(platform.env, commands.translationStatus(source, *target));
  } else {
    throw SystemAudioError::invalidCommand(command);
  }
}

}  // namespace

ExitStatus TavrinSystemAudio::run(const Arguments& arguments, Platform& platform) {
  try {
    dispatch(arguments, platform);
    return kExitSuccess;
  } catch (const std::exception& error) {
    platform.env.writeStderrLine(failureLine(error.what()));
    return kExitFailure;
  }
}

int TavrinSystemAudio::main(int argc, char** argv) {
  ignoreBrokenPipeSignal();
  keepServerLibraryLogOffStderr();
  RealSystemEnv env;
  PlatformGates& gates = realGates();
  Platform platform{env, gates, realCommands(env, gates)};
  return run(Arguments(std::vector<std::string>(argv, argv + argc)), platform);
}

}  // namespace tavrin::system_audio
