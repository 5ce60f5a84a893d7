// Echo reduction of MicCapture(voiceProcessing: true) on a headless sound
// server: speech plays as system audio and, delayed and quieter, leaks into
// the microphone; the microphone's stream is recorded with and without echo
// cancellation in the same run and its energy compared.
//
// Needs the test sound server (run through bench/live_echo.sh).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/audio_converter.h"
#include "system-audio/sources/mic_capture.h"

using namespace tavrin;
using namespace tavrin::system_audio;

namespace {

// Records the microphone while `system` plays into the default sink and
// `leak` into the microphone's feed; returns 16 kHz mono samples.
std::vector<float> record(bool cancel, const std::string& system, const std::string& leak, bool playSystem = true) {
  MicCapture mic(pulseSoundServer(), cancel, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  mic.start();
  std::vector<float> samples;
  std::thread reader([&] {
    LiveAudioConverter converter(PcmFormat::float32(16000, 1));
    while (auto b = mic.stream()->next()) {
      if (PcmBufferPtr c = converter.convert(*b)) {
        samples.insert(samples.end(), c->floatChannel(0), c->floatChannel(0) + c->frameLength());
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string play = (playSystem ? "paplay --device=system_output " + system + " & " : std::string()) +
                           "paplay --device=mic_feed " + leak + "; wait";
  if (std::system(play.c_str()) != 0) std::fprintf(stderr, "bench_live_echo: playback failed\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  mic.stop();
  reader.join();
  return samples;
}

double energyDb(const std::vector<float>& s, size_t from) {
  double e = 1e-20;
  for (size_t i = from; i < s.size(); ++i) e += static_cast<double>(s[i]) * s[i];
  return 10 * std::log10(e / static_cast<double>(std::max<size_t>(1, s.size() - from)));
}

}  // namespace

int main() {
  if (!std::getenv("TAVRIN_TEST_PULSE_DIR")) {
    std::fprintf(stderr, "bench_live_echo: run it through bench/live_echo.sh (needs the test sound server)\n");
    return 1;
  }
  char dirTemplate[] = "/tmp/tavrin-bench-echo.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const std::string system = dir + "/system.wav", leak = dir + "/leak.wav";
  const std::string make =
      "flite -voice slt -t 'Hello everybody and welcome. Today we talk about the new budget for next year, "
      "and then about the schedule of the project. Please send me the report before Friday.' -o " +
      system + " && sox " + system + " " + leak + " pad 0.12 0 vol 0.5";
  if (std::system(make.c_str()) != 0) return 1;
  const std::vector<float> plain = record(false, system, leak);
  const std::vector<float> cancelled = record(true, system, leak);
  // Skip the first 3 s, in which the canceller converges.
  const size_t skip = 3 * 16000;
  const double plainDb = energyDb(plain, skip), cancelledDb = energyDb(cancelled, skip);
  std::printf("echo cancellation (WebRTC AEC, extended filter, delay-agnostic): speech leaking 120 ms late at -6 dB\n");
  std::printf("  microphone energy after the first 3 s: without %.1f dBFS, with --echo-cancel %.1f dBFS\n", plainDb,
              cancelledDb);
  if (cancelledDb < -120) {
    std::printf("  echo reduction: more than %.0f dB (the cancelled microphone is digital silence)\n", plainDb + 120);
  } else {
    std::printf("  echo reduction: %.1f dB\n", plainDb - cancelledDb);
  }
  // The user's own speech (nothing playing) must pass.
  const std::vector<float> own = record(true, system, leak, false);
  const std::vector<float> ownPlain = record(false, system, leak, false);
  std::printf("  the same speech as the user's own voice (no system audio): %.1f dBFS with, %.1f dBFS without: %.1f dB lost\n",
              energyDb(own, skip), energyDb(ownPlain, skip), energyDb(ownPlain, skip) - energyDb(own, skip));
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
