// What the Whisper live benchmarks share: the speech they feed (flite
// sentences with pauses), the passive OpenMP wait live runs with, and one
// live run of N channels fed in real time through runLiveChannel.
#pragma once

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/live_bench.h"
#include "system-audio/base/system_env.h"
#include "system-audio/live/live_channel.h"

namespace tavrin::bench {

// Runs this benchmark again with OMP_WAIT_POLICY=PASSIVE, as
// tavrin-system-audio live does: libgomp reads its wait policy when it
// loads, before main. A value already in the environment (ACTIVE, to
// measure spinning threads) is kept.
inline void rerunWithPassiveWait(char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr) return;
  setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
  execv("/proc/self/exe", argv);
}

// Up to `wanted` non-empty lines of `file`.
inline std::vector<std::string> readSentences(const std::string& file, size_t wanted) {
  std::vector<std::string> sentences;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line) && sentences.size() < wanted;) {
    if (!line.empty()) sentences.push_back(line);
  }
  return sentences;
}

inline std::vector<float> readRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> samples;
  float v;
  while (in.read(reinterpret_cast<char*>(&v), 4)) samples.push_back(v);
  return samples;
}

// The sentences spoken by flite at 16 kHz, each followed by 1.5 s of
// silence; the speech parts alone in `parts` when given. Empty when flite
// or sox fails.
inline std::vector<float> spokenSentences(const std::string& dir, const std::vector<std::string>& sentences,
                                          std::vector<std::vector<float>>* parts = nullptr) {
  std::vector<float> all;
  for (size_t i = 0; i < sentences.size(); ++i) {
    const std::string raw = dir + "/s" + std::to_string(i) + ".raw";
    const std::string cmd = "flite -voice slt -t \"" + sentences[i] + "\" -o " + dir + "/s.wav && sox " + dir +
                            "/s.wav -t raw -e floating-point -b 32 -r 16000 -c 1 " + raw;
    if (std::system(cmd.c_str()) != 0) return {};
    const std::vector<float> part = readRaw(raw);
    all.insert(all.end(), part.begin(), part.end());
    all.insert(all.end(), 24000, 0.0f);
    if (parts != nullptr) parts->push_back(part);
  }
  return all;
}

inline double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// What one real-time run saw: every event line with its arrival time, each
// final's lag after its audio end (from the timing lines), each channel's
// start (system first), and the process CPU seconds while it ran.
struct RealTimeRun {
  std::vector<std::pair<uint64_t, std::string>> lines;
  std::vector<double> finalLag;
  std::vector<uint64_t> begin;
  double cpu = 0;
};

// `channels` live channels (system, then mic) in `language`, translated to
// `target` if given, each fed `audio` in 20 ms buffers at the rate it would
// play, all through one event writer, until every channel has ended.
inline RealTimeRun runInRealTime(const std::string& language, const std::optional<std::string>& target, int channels,
                                 const std::vector<float>& audio, const system_audio::LiveServices& services) {
  using namespace system_audio;
  TimedLines events;
  NDJSONWriter writer(events.writeFd());
  std::mutex mutex;
  RealTimeRun run;
  std::vector<std::unique_ptr<LiveTiming>> timings;
  std::vector<std::thread> feeders, runners;
  std::vector<std::atomic<uint64_t>> begin(static_cast<size_t>(channels));
  for (int c = 0; c < channels; ++c) {
    auto stream = std::make_shared<CaptureStream>();
    auto& started = begin[static_cast<size_t>(c)];
    timings.push_back(std::make_unique<LiveTiming>(
        true,
        [&started] {
          const uint64_t now = monotonicNowNanos();
          uint64_t zero = 0;
          started.compare_exchange_strong(zero, now);
          return now;
        },
        [&](const std::string& line) {
          std::smatch m;
          static const std::regex lag(R"(kind=final audioEndSec=[0-9.]+ lagMs=(-?[0-9]+))");
          std::lock_guard lock(mutex);
          if (std::regex_search(line, m, lag)) run.finalLag.push_back(std::stod(m[1]));
        }));
    feeders.emplace_back([&, stream] {
      while (started == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      constexpr uint32_t kFrames = 320;  // 20 ms
      for (uint64_t pos = 0; pos < audio.size(); pos += kFrames) {
        const uint64_t due = started + pos * 1'000'000'000ull / 16000;
        const uint64_t now = monotonicNowNanos();
        if (due > now) std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kFrames, audio.size() - pos));
        PcmBufferPtr b = PcmBuffer::create(PcmFormat::float32(16000, 1), n);
        b->setFrameLength(n);
        std::copy_n(audio.data() + pos, n, b->floatChannel(0));
        stream->add(b);
      }
      stream->finish();
    });
    LiveChannelRequest request{c == 0 ? AudioChannel::kSystem : AudioChannel::kMic,
                               stream,
                               language,
                               target,
                               &writer,
                               timings.back().get(),
                               c == 0};
    runners.emplace_back([request, &services] { runLiveChannel(request, services); });
  }
  while (begin[0] == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double cpu0 = cpuSeconds();
  for (auto& t : feeders) t.join();
  for (auto& t : runners) t.join();
  run.cpu = cpuSeconds() - cpu0;
  run.lines = events.finish();
  for (const auto& b : begin) run.begin.push_back(b);
  return run;
}

}  // namespace tavrin::bench
