// Echo reduction of MicCapture(voiceProcessing: true) on a headless sound
// server: speech plays as system audio and, delayed and quieter, leaks into
// the microphone; the microphone's stream is recorded with and without echo
// cancellation in the same run and its energy compared.
//
// Then recognition of the microphone after echo: for each of the first ten
// sentences of bench/speech_sentences.txt, system speech leaks into the
// microphone (120 ms late, -6 dB) and 1.5 s after it ends the user says the
// sentence; the cancelled microphone is recognised by a fresh live
// recognizer (nothing kept from earlier runs), whose finals from the middle
// of the pause on are the user's (what the canceller lets through of the
// echo itself is not counted). The same sentences said with nothing playing
// before are the peer; so are they for double talk, the user speaking over
// system speech whose echo is 10 or 20 dB below the voice: once at the
// start of the call (a fresh canceller, 0.5 s of echo before the user
// speaks) and once after the other side has talked alone for about ten
// seconds through the same echo path (as in a call under way; only finals
// of the double talk count). The double talk at the start of the call is
// also recognised from the microphone without cancellation: the words the
// echo itself leaves recognisable, which a canceller that has not yet
// learned the echo path cannot much improve on. Writes, into the directory
// given as the first argument, ref.trn, after-echo.trn, no-echo.trn,
// double-talk-10.trn, double-talk-20.trn, double-talk-plain-10.trn,
// double-talk-plain-20.trn, double-talk-warm-10.trn, double-talk-warm-20.trn and
// the microphone recordings (<set>-<n>.raw, 16 kHz float32) for scoring by
// bench/live_echo.sh.
//
// The other side is flite's slt voice, the user's too; with "human" as the
// second argument it is a person instead (pocketsphinx-testdata's LibriVox
// recordings, raised about 7 dB, with a limiter, to flite's loudness), so the
// canceller cannot mistake the user for the other side by the voice alone.
//
// The echo of the first measurement is 6 dB under what plays; a third
// argument sets another level in dB (0: as loud as what plays, as from
// loud speakers beside the microphone). The echo left in each of the first
// three seconds of playback, before the canceller has learned the echo
// path, is printed too.
//
// Needs the test sound server (run through bench/live_echo.sh).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/audio_converter.h"
#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "system-audio/sources/mic_capture.h"

using namespace tavrin;
using namespace tavrin::system_audio;

namespace {

// Records the microphone while `system` plays into the default sink and
// `leak` into the microphone's feed; returns 16 kHz mono samples.
std::vector<float> record(bool cancel, const std::string& system, const std::string& leak, bool playSystem = true) {
  MicCapture mic(pulseSoundServer(), cancel,
                 [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
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

// The length of a sound file in seconds (soxi), 0 if unknown.
double durationSeconds(const std::string& path) {
  double seconds = 0;
  if (FILE* p = popen(("soxi -D " + path).c_str(), "r")) {
    if (std::fscanf(p, "%lf", &seconds) != 1) seconds = 0;
    pclose(p);
  }
  return seconds;
}

double energyDb(const std::vector<float>& s, size_t from, size_t to = SIZE_MAX) {
  to = std::min(to, s.size());
  double e = 1e-20;
  for (size_t i = from; i < to; ++i) e += static_cast<double>(s[i]) * s[i];
  return 10 * std::log10(e / static_cast<double>(std::max<size_t>(1, to - std::min(from, to))));
}

// The finals of a fresh live recognizer on `samples` that start at `from`
// seconds or later, joined.
std::string recognise(const std::vector<float>& samples, double from) {
  speech::PocketSphinxSettings settings;  // nothing kept between runs
  speech::ModelCatalog catalog(speech::ModelSearchPaths::fromProcess());
  const std::optional<speech::ModelFiles> model = catalog.installedModel("en_US");
  if (!model) return "(no model)";
  std::unique_ptr<speech::Recognizer> recognizer =
      speech::makePocketSphinxRecognizer(*model, speech::ReportingMode::kLive, settings);
  std::string text;
  std::thread reader([&] {
    while (std::optional<speech::RecognitionResult> r = recognizer->nextResult()) {
      if (r->isFinal && !r->text.empty() && r->start >= from) text += (text.empty() ? "" : " ") + r->text;
    }
  });
  for (size_t offset = 0; offset < samples.size(); offset += 320) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(320, samples.size() - offset));
    PcmBufferPtr buffer = PcmBuffer::create(speech::PocketSphinxService::decoderFormat(), n);
    buffer->setFrameLength(n);
    std::copy_n(samples.data() + offset, n, buffer->floatChannel(0));
    recognizer->acceptWaveform(*buffer);
  }
  recognizer->inputFinished();
  reader.join();
  return text;
}

std::string words(std::string text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '\'' || c == ' ') out.push_back(static_cast<char>(std::tolower(c)));
  }
  return out;
}

void save(const std::string& path, const std::vector<float>& samples) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("TAVRIN_TEST_PULSE_DIR")) {
    std::fprintf(stderr, "bench_live_echo: run it through bench/live_echo.sh (needs the test sound server)\n");
    return 1;
  }
  char dirTemplate[] = "/tmp/tavrin-bench-echo.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const std::string system = dir + "/system.wav", leak = dir + "/leak.wav";
  const bool human = argc > 2 && std::string(argv[2]) == "human";
  const double echoDb = argc > 3 ? std::atof(argv[3]) : -6.0;
  const std::string librivox = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-";
  const std::string make =
      (human ? "sox " + librivox + "0870.wav " + librivox + "0890.wav " + system + " gain -l 7"
             : "flite -voice slt -t 'Hello everybody and welcome. Today we talk about the new budget for next year, "
               "and then about the schedule of the project. Please send me the report before Friday.' -o " +
                   system) +
      " && sox " + system + " " + leak + " pad 0.12 0 vol " + std::to_string(std::pow(10.0, echoDb / 20.0));
  if (std::system(make.c_str()) != 0) return 1;
  const std::vector<float> plain = record(false, system, leak);
  const std::vector<float> cancelled = record(true, system, leak);
  // Skip the first 3 s, in which the canceller converges.
  const size_t skip = 3 * 16000;
  const double plainDb = energyDb(plain, skip), cancelledDb = energyDb(cancelled, skip);
  std::printf("echo cancellation (WebRTC and speexdsp, double-talk switch): speech leaking 120 ms late at %.0f dB\n",
              echoDb);
  std::printf("  microphone energy after the first 3 s: without %.1f dBFS, with --echo-cancel %.1f dBFS\n", plainDb,
              cancelledDb);
  if (cancelledDb < -120) {
    std::printf("  echo reduction: more than %.0f dB (the cancelled microphone is digital silence)\n", plainDb + 120);
  } else {
    std::printf("  echo reduction: %.1f dB\n", plainDb - cancelledDb);
  }
  // Recording starts 0.5 s before playback.
  std::printf("  echo left in the 1st, 2nd, 3rd second of playback (fresh canceller), without -> with:");
  for (size_t second = 0; second < 3; ++second) {
    const size_t from = 8000 + second * 16000, to = from + 16000;
    std::printf(" %.1f -> %.1f dBFS%s", energyDb(plain, from, to), energyDb(cancelled, from, to),
                second < 2 ? "," : "\n");
  }
  // The user's own speech (nothing playing) must pass.
  const std::vector<float> own = record(true, system, leak, false);
  const std::vector<float> ownPlain = record(false, system, leak, false);
  std::printf(
      "  the same speech as the user's own voice (no system audio): %.1f dBFS with, %.1f dBFS without: %.1f dB lost\n",
      energyDb(own, skip), energyDb(ownPlain, skip), energyDb(ownPlain, skip) - energyDb(own, skip));

  // Recognition of the user's first utterance after echo.
  const std::string out = argc > 1 ? argv[1] : dir;
  std::ifstream sentences("bench/speech_sentences.txt");
  std::ofstream ref(out + "/ref.trn"), afterEcho(out + "/after-echo.trn"), noEcho(out + "/no-echo.trn");
  std::ofstream doubleTalk10(out + "/double-talk-10.trn"), doubleTalk20(out + "/double-talk-20.trn");
  std::ofstream plain10(out + "/double-talk-plain-10.trn"), plain20(out + "/double-talk-plain-20.trn");
  std::ofstream warm10(out + "/double-talk-warm-10.trn"), warm20(out + "/double-talk-warm-20.trn");
  const double warmSeconds = durationSeconds(system);
  const std::string warmSystem = dir + "/warm-system.wav";
  const std::string shortSystem = dir + "/short.wav";
  const std::string makeShort =
      human
          ? "sox " + librivox + "0920.wav " + shortSystem + " gain -l 7"
          : "flite -voice slt -t 'Hello everybody and welcome. Today we talk about the new budget.' -o " + shortSystem;
  if (std::system((makeShort + " && sox -n -r 16000 -c 1 " + dir + "/gap.wav trim 0 1.5 && sox " + system + " " +
                   shortSystem + " -r 16000 -c 1 " + warmSystem)
                      .c_str()) != 0) {
    return 1;
  }
  std::string line;
  for (int n = 1; n <= 10 && std::getline(sentences, line); ++n) {
    const std::string id = std::to_string(n);
    const std::string user = dir + "/user" + id + ".wav", userLeak = dir + "/leak" + id + ".wav";
    const std::string makeUser = "flite -voice slt -t \"" + line + "\" -o " + user + " && sox " + shortSystem +
                                 " -r 16000 -c 1 " + dir + "/echo.wav pad 0.12 0 vol 0.5 && sox " + dir + "/echo.wav " +
                                 dir + "/gap.wav " + user + " " + userLeak;
    if (std::system(makeUser.c_str()) != 0) return 1;
    // The user starts 1.5 s after the echo ends; recording starts 0.5 s
    // before playback. Results from the middle of that gap on are the user's.
    const double echoSeconds = durationSeconds(dir + "/echo.wav");
    // Double talk: the user starts 0.5 s into the system speech, whose echo
    // is 10 or 20 dB below the user's voice (echo.wav is the system speech
    // at half its level, 120 ms late).
    for (const int db : {10, 20}) {
      const std::string mixed = dir + "/double" + std::to_string(db) + ".wav";
      const std::string makeMixed = "sox " + user + " " + dir + "/late.wav pad 0.5 0 && sox -m -v " +
                                    std::to_string(2 * std::pow(10.0, -db / 20.0)) + " " + dir + "/echo.wav -v 1 " +
                                    dir + "/late.wav " + mixed;
      if (std::system(makeMixed.c_str()) != 0) return 1;
      // Records one double talk, keeps it as <set>-<db>-<n>.raw and writes
      // its finals from `from` seconds on to `trn`.
      const auto take = [&](bool cancel, const std::string& played, const std::string& leaked, const std::string& set,
                            double from, std::ofstream& trn) {
        const std::vector<float> samples = record(cancel, played, leaked);
        save(out + "/" + set + "-" + std::to_string(db) + "-" + id + ".raw", samples);
        trn << recognise(samples, from) << " (s" << id << ")\n";
      };
      take(true, shortSystem, mixed, "double-talk", 0, db == 10 ? doubleTalk10 : doubleTalk20);
      take(false, shortSystem, mixed, "double-talk-plain", 0, db == 10 ? plain10 : plain20);
      // The same double talk after the other side's long speech, whose echo
      // (at the same level, 120 ms late) ends where the double talk begins.
      const std::string warmLeak = dir + "/warm" + std::to_string(db) + ".wav";
      const std::string makeWarm = "sox " + system + " -r 16000 -c 1 " + dir + "/warm-echo.wav pad 0.12 0 vol " +
                                   std::to_string(std::pow(10.0, -db / 20.0)) + " trim 0 " +
                                   std::to_string(warmSeconds) + " && sox " + dir + "/warm-echo.wav " + mixed + " " +
                                   warmLeak;
      if (std::system(makeWarm.c_str()) != 0) return 1;
      take(true, warmSystem, warmLeak, "double-talk-warm", 0.5 + warmSeconds, db == 10 ? warm10 : warm20);
    }
    const std::vector<float> after = record(true, shortSystem, userLeak);
    const std::vector<float> alone = record(true, shortSystem, user, false);
    save(out + "/after-echo-" + id + ".raw", after);
    save(out + "/no-echo-" + id + ".raw", alone);
    ref << words(line) << " (s" << id << ")\n";
    afterEcho << recognise(after, 0.5 + echoSeconds + 0.75) << " (s" << id << ")\n";
    noEcho << recognise(alone, 0) << " (s" << id << ")\n";
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
