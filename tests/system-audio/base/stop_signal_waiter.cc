// Test program: waits for a stop signal with the real system and says so.
// Usage: stop_signal_waiter [STOP_FILE]
#include <optional>
#include <string>

#include "common/output.h"
#include "system-audio/base/stop_signals.h"

int main(int argc, char** argv) {
  tavrin::system_audio::RealSystemEnv env;
  const std::optional<std::string> stopFile = argc > 1 ? std::optional<std::string>(argv[1]) : std::nullopt;
  tavrin::writeStdoutLine("waiting");
  tavrin::system_audio::waitForStopSignal(stopFile, nullptr, env);
  tavrin::writeStdoutLine("stopped");
  return 0;
}
