// Subtitle lag, CPU share and memory of live channels with the real speech
// engine (PocketSphinx), fed in real time.
//
//   bench_live_channels [seconds] [channels] [snr] [batch]   (defaults: one
//       pass of the speech, 1 channel, no noise, live's batch; snr: white
//       noise that many dB under the speech, as on a call from a noisy room
//       (negative: none); batch: seconds of audio the decoder gets at once)
//
// flite speaks a few sentences with pauses between them; each channel gets
// that audio looped in 20 ms buffers at the pace of real capture, starting
// when the channel begins feeding (so set-up time is not counted as lag).
// Figures:
//  - final lag: the latency line of each final result (time since feeding
//    began minus the result's audio end), i.e. how long after the last word
//    of an utterance its final subtitle is written;
//  - first volatile: for each utterance, when its first volatile result is
//    written, minus its audio start;
//  - CPU: process CPU time per channel over wall time, as % of one core;
//  - peak memory: maximum resident set size of the process;
//  - the peer: bench_pocketsphinx_alone (built beside this program) on the
//    same audio with the live decoder settings, fed in real time in the
//    channels' batches, run once before and once after them; its CPU seconds per
//    audio second, and the channels' CPU per channel over their mean (the
//    live path's overhead); and once more with the engine's own search
//    (transcription's), what live's narrower search saves. On a
//    shared virtual machine single runs vary by 15 % or more: compare
//    several.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/live_bench.h"
#include "speech-service/pocketsphinx/pocketsphinx_service.h"
#include "system-audio/base/system_env.h"
#include "system-audio/live/apertium.h"
#include "system-audio/live/live_channel.h"

using namespace tavrin;
using namespace tavrin::system_audio;

namespace {

std::vector<float> speechSamples(const std::string& dir) {
  const std::string wav = dir + "/speech.wav";
  const std::string raw = dir + "/speech.raw";
  const char* sentences[] = {
      "Hello everybody, and welcome to the weekly meeting.",
      "Today we talk about the new budget for next year.",
      "I have one question about the schedule.",
      "Please send me the report before Friday.",
  };
  std::string parts;
  for (int i = 0; i < 4; ++i) {
    const std::string part = dir + "/part" + std::to_string(i) + ".wav";
    const std::string cmd = std::string("flite -voice slt -t \"") + sentences[i] + "\" -o " + part;
    if (std::system(cmd.c_str()) != 0) return {};
    parts += " " + part + " " + dir + "/pause.wav";
  }
  if (std::system(("sox -n -r 16000 -c 1 " + dir + "/pause.wav trim 0 1.5").c_str()) != 0) return {};
  if (std::system(("sox" + parts + " " + wav).c_str()) != 0) return {};
  if (std::system(("sox " + wav + " -t raw -e floating-point -b 32 -r 16000 -c 1 " + raw).c_str()) != 0) return {};
  FILE* f = std::fopen(raw.c_str(), "rb");
  if (!f) return {};
  std::vector<float> samples;
  float buf[4096];
  size_t n;
  while ((n = std::fread(buf, sizeof(float), 4096, f)) > 0) samples.insert(samples.end(), buf, buf + n);
  std::fclose(f);
  return samples;
}

// CPU seconds of this process (RUSAGE_SELF) or of its waited-for children
// (RUSAGE_CHILDREN) so far.
double cpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using bench::Quantiles;
using bench::quantiles;

// CPU seconds PocketSphinx alone takes for `raw` with decoder `options`, fed
// in real time in batches of `batch` samples; negative when it failed.
double aloneCpuSeconds(const std::string& raw, const std::string& options, size_t batch) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  std::string alone(self, static_cast<size_t>(n));
  alone = alone.substr(0, alone.rfind('/') + 1) + "bench_pocketsphinx_alone";
  const double before = cpuSeconds(RUSAGE_CHILDREN);
  const std::string cmd =
      alone + " --real-time --batch " + std::to_string(batch) + " " + raw + " " + options + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) return -1;
  return cpuSeconds(RUSAGE_CHILDREN) - before;
}

}  // namespace

int main(int argc, char** argv) {
  char dirTemplate[] = "/tmp/tavrin-bench-live.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  std::vector<float> speech = speechSamples(dir);
  if (speech.empty()) {
    std::fprintf(stderr, "bench_live_channels: flite/sox could not make the speech\n");
    return 1;
  }
  const double speechSeconds = static_cast<double>(speech.size()) / 16000;
  const double seconds = argc > 1 ? std::atof(argv[1]) : speechSeconds + 1;
  const int channels = argc > 2 ? std::atoi(argv[2]) : 1;
  if (argc > 3 && std::atof(argv[3]) >= 0) {  // white noise that many dB under the speech's level (pauses included)
    double power = 0;
    for (float x : speech) power += static_cast<double>(x) * x;
    const double level = std::sqrt(power / static_cast<double>(speech.size())) * std::pow(10, -std::atof(argv[3]) / 20);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0, level);
    for (float& x : speech) x += static_cast<float>(noise(random));
  }

  const std::string loopRaw = dir + "/loop.raw";
  {
    FILE* f = std::fopen(loopRaw.c_str(), "wb");
    const auto total = static_cast<uint64_t>(seconds * 16000);
    for (uint64_t pos = 0; f != nullptr && pos < total; ++pos) std::fwrite(&speech[pos % speech.size()], 4, 1, f);
    if (f != nullptr) std::fclose(f);
  }
  speech::PocketSphinxSettings live = speech::PocketSphinxService::settingsFromProcess();
  if (argc > 4) live.liveBatchSeconds = std::atof(argv[4]);
  const std::string endSilence = "-vad_postspeech " + std::to_string(live.liveEndSilenceFrames);
  std::string liveOptions = endSilence;
  for (const std::string& option : speech::liveDecoderOptions(live)) liveOptions += " " + option;
  const auto batch = static_cast<size_t>(live.liveBatchSeconds * 16000);
  const double aloneBefore = aloneCpuSeconds(loopRaw, liveOptions, batch);

  auto service = std::make_unique<speech::PocketSphinxService>(
      speech::ModelCatalog(speech::ModelSearchPaths::fromProcess()), live);
  ApertiumTranslationService translation;
  LiveServices services{*service, translation, "en_US"};

  bench::TimedLines events;
  NDJSONWriter writer(events.writeFd());
  std::mutex mutex;

  std::vector<std::string> timingLines;
  std::vector<std::unique_ptr<LiveTiming>> timings;
  std::vector<std::shared_ptr<CaptureStream>> streams;
  std::vector<std::thread> feeders, runners;
  std::vector<uint64_t> beginNanos(static_cast<size_t>(channels), 0);
  std::vector<std::atomic<bool>> begun(static_cast<size_t>(channels));
  // CPU and wall time are counted from the moment the first channel starts
  // feeding (set-up, i.e. loading the models, is not part of streaming).
  std::atomic<double> cpuBefore{0};
  std::atomic<uint64_t> wallBefore{0};
  for (int c = 0; c < channels; ++c) {
    auto stream = std::make_shared<CaptureStream>();
    streams.push_back(stream);
    // The timer's first clock reading is begin(): feeding starts then.
    timings.push_back(std::make_unique<LiveTiming>(
        true,
        [&, c] {
          const uint64_t now = monotonicNowNanos();
          if (!begun[static_cast<size_t>(c)].exchange(true)) {
            beginNanos[static_cast<size_t>(c)] = now;
            if (c == 0) {
              cpuBefore = cpuSeconds();
              wallBefore = now;
            }
          }
          return now;
        },
        [&](const std::string& line) {
          std::lock_guard lock(mutex);
          timingLines.push_back(line);
        }));
    feeders.emplace_back([&, c, stream] {
      while (!begun[static_cast<size_t>(c)]) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const uint64_t start = beginNanos[static_cast<size_t>(c)];
      constexpr uint32_t kFrames = 320;  // 20 ms
      const auto total = static_cast<uint64_t>(seconds * 16000);
      for (uint64_t pos = 0; pos < total; pos += kFrames) {
        const uint64_t due = start + pos * 1'000'000'000ull / 16000;
        const uint64_t now = monotonicNowNanos();
        if (due > now) std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
        PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), kFrames);
        b->setFrameLength(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) b->floatChannel(0)[i] = speech[(pos + i) % speech.size()];
        stream->add(b);
      }
      stream->finish();
    });
    LiveChannelRequest request{c == 0 ? AudioChannel::kSystem : AudioChannel::kMic,
                               stream,
                               std::string("en-US"),
                               std::nullopt,
                               &writer,
                               timings.back().get(),
                               c == 0};
    runners.emplace_back([request, &services] { runLiveChannel(request, services); });
  }
  for (auto& t : feeders) t.join();
  for (auto& t : runners) t.join();
  const double cpu = cpuSeconds() - cpuBefore;
  const double wall = static_cast<double>(monotonicNowNanos() - wallBefore) / 1e9;
  const auto& lines = events.finish();

  std::vector<double> finalLag, firstVolatile;
  const std::regex lag(R"(kind=final audioEndSec=[0-9.]+ lagMs=(-?[0-9]+))");
  for (const std::string& l : timingLines) {
    std::smatch m;
    if (std::regex_search(l, m, lag)) finalLag.push_back(std::stod(m[1]));
  }
  const std::regex segment(R"re("source":"(system|mic)","id":(\d+),"text":"[^"]*","isFinal":false,"startMs":(\d+))re");
  std::map<std::pair<std::string, int>, bool> seen;
  int words = 0;
  for (auto& [t, l] : lines) {
    std::smatch m;
    if (!std::regex_search(l, m, segment)) continue;
    const auto key = std::make_pair(m[1].str(), std::stoi(m[2]));
    if (seen[key]) continue;
    seen[key] = true;
    const size_t channel = m[1] == "system" ? 0 : 1;
    const double since = static_cast<double>(t - beginNanos[channel]) / 1e6;
    firstVolatile.push_back(since - std::stod(m[3]));
  }
  for (auto& [t, l] : lines) words += l.find("\"isFinal\":true") != std::string::npos;

  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const Quantiles f = quantiles(finalLag);
  const Quantiles v = quantiles(firstVolatile);
  std::printf("live channels: %d channel(s), %.0f s of audio each, in real time (PocketSphinx en-US)\n", channels,
              seconds);
  std::printf(
      "  final-result lag after the utterance's audio end (system channel): median %.0f ms  p95 %.0f ms  (%zu "
      "finals)\n",
      f.median, f.p95, f.n);
  std::printf(
      "  first volatile result after the utterance's audio start: median %.0f ms  p95 %.0f ms  (%zu utterances)\n",
      v.median, v.p95, v.n);
  std::printf("  CPU: %.1f %% of one core per channel (%.1f s CPU over %.1f s wall, %d channel(s))\n",
              100 * cpu / wall / channels, cpu, wall, channels);
  std::printf("  peak resident memory: %.1f MB\n", static_cast<double>(u.ru_maxrss) / 1024);
  const double aloneAfter = aloneCpuSeconds(loopRaw, liveOptions, batch);
  const double aloneFullSearch = aloneCpuSeconds(loopRaw, endSilence, batch);
  if (aloneBefore > 0 && aloneAfter > 0 && aloneFullSearch > 0) {
    const double peer = (aloneBefore + aloneAfter) / 2;
    std::printf(
        "  PocketSphinx alone, same audio and settings in real time: %.1f %% / %.1f %% of one core "
        "(before / after); with the engine's own search (transcription's): %.1f %%\n",
        100 * aloneBefore / seconds, 100 * aloneAfter / seconds, 100 * aloneFullSearch / seconds);
    std::printf("  live per channel over PocketSphinx alone (their mean): %.2fx\n", cpu / channels / peer);
  } else {
    std::printf("  PocketSphinx alone: could not run bench_pocketsphinx_alone\n");
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
