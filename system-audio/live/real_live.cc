#include "system-audio/live/real_live.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/locale.h"
#include "common/output.h"
#include "speech-service/routing/machine_speech.h"
#include "system-audio/base/stop_signals.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/live_subtitles.h"
#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"

namespace tavrin::system_audio {

namespace {

class SoundServerCaptures final : public LiveCaptureFactory {
 public:
  SoundServerCaptures(SoundServer& server, SystemEnv& env) : server_(server), env_(env) {}

  std::unique_ptr<AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) override {
    auto tap = std::make_unique<SystemAudioTap>(server_);
    tap->setOnDeviceLost(std::move(onDeviceLost));
    return tap;
  }

  std::unique_ptr<AudioCapture> makeMicCapture(bool voiceProcessing) override {
    return std::make_unique<MicCapture>(server_, voiceProcessing,
                                        [&env = env_](const std::string& line) { (void)env.writeStderrLine(line); });
  }

 private:
  SoundServer& server_;
  SystemEnv& env_;
};

// whisper.cpp's threads (OpenMP) must wait for each other passively:
// spinning, they stall whenever another thread takes a core (PocketSphinx,
// the other channel, any program): two-channel finals trailed by 8 to 15 s
// on a 2-core machine with one core busy. libgomp reads OMP_WAIT_POLICY
// once, in its constructor, and it is loaded before main (libswresample
// needs libsoxr, which needs it), so setting the variable now is too late:
// the program runs itself again with it set. Called before any thread
// starts; the held termination signals stay blocked across exec, so one
// that arrives meanwhile is still pending for the new image. A user's own
// value wins; if the program cannot be run again, live runs as it is.
void waitPassivelyInOpenMp(SystemEnv& env) {
  int deathSignal = 0;
  if (std::getenv("OMP_WAIT_POLICY") != nullptr) {
    // Run again: the parent is watched by the stop-signal wait from here.
    if (::prctl(PR_GET_PDEATHSIG, &deathSignal) == 0 && deathSignal == SIGHUP) ::prctl(PR_SET_PDEATHSIG, 0);
    return;
  }
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
  if (args.empty()) return;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // A parent that exits while the program starts again (the new image
  // would take its adoptive parent for the one it started with) raises a
  // held SIGHUP, which the new image finds pending and stops on.
  if (::prctl(PR_GET_PDEATHSIG, &deathSignal) != 0) return;
  if (deathSignal == 0 && ::prctl(PR_SET_PDEATHSIG, SIGHUP) != 0) return;
  if (env.parentProcessId() == env.startParentProcessId()) {
    ::setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
    ::execv("/proc/self/exe", argv.data());
  }
  if (deathSignal == 0) ::prctl(PR_SET_PDEATHSIG, 0);
}

}  // namespace

void runRealLiveSubtitles(const LiveRequest& request, SystemEnv& env) {
  waitPassivelyInOpenMp(env);
  speech::MachineSpeech speech;
  ApertiumTranslationService translation;
  LiveServices services{speech.service(), translation, currentLocaleIdentifier()};
  LiveRunOptions options;
  options.outputFd = 1;
  options.timingEnabled = std::getenv("TAVRIN_LIVE_TIMING") != nullptr;
  options.timingSink = [](const std::string& line) { (void)writeAll(2, line); };
  options.clock = monotonicNowNanos;
  // Every wait on the server while capture starts ends at a stop signal.
  pulseSoundServer().setStopCheck([stopFile = request.stopFilePath, &env] { return stopSignalPending(stopFile, env); });
  SoundServerCaptures captures(pulseSoundServer(), env);
  runLiveSubtitles(request, captures, services, env, options);
}

}  // namespace tavrin::system_audio
