// Figures for the shared audio and event paths:
//  - converter throughput: seconds of 48 kHz stereo float audio converted to
//    16 kHz mono per CPU second, through LiveAudioConverter, against the same
//    libswresample conversion called directly (the peer);
//  - event writer: lines per second with 4 concurrent writers on a pipe
//    drained by a reader thread, against one unlocked writer of the same
//    lines (the peer).
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "common/audio_converter.h"
#include "common/output.h"
#include "system-audio/live/ndjson_writer.h"

namespace {

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr uint32_t kFrames = 480;  // 10 ms at 48 kHz, the size a sound server hands out
constexpr int kBuffers = 60000;    // 600 s of audio

double benchConverter() {
  using namespace tavrin;
  const PcmFormat source = PcmFormat::float32(48000, 2);
  std::vector<PcmBufferPtr> input;
  for (int i = 0; i < 16; ++i) {
    auto b = PcmBuffer::create(source, kFrames);
    b->setFrameLength(kFrames);
    for (uint32_t f = 0; f < kFrames; ++f) {
      const float v = static_cast<float>(std::sin((i * kFrames + f) * 0.13));
      b->floatChannel(0)[f] = v;
      b->floatChannel(1)[f] = -v;
    }
    input.push_back(b);
  }
  LiveAudioConverter converter(PcmFormat::float32(16000, 1));
  uint64_t out = 0;
  const double start = cpuSeconds();
  for (int i = 0; i < kBuffers; ++i) {
    if (auto converted = converter.convert(input[i % input.size()])) out += converted->frameLength();
  }
  const double cpu = cpuSeconds() - start;
  const double audioSeconds = kBuffers * kFrames / 48000.0;
  std::printf(
      "converter: %.0f s of 48 kHz stereo -> 16 kHz mono in %.3f CPU s = %.0f audio s per CPU s (%llu frames out)\n",
      audioSeconds, cpu, audioSeconds / cpu, static_cast<unsigned long long>(out));
  return audioSeconds / cpu;
}

double benchRawSwr() {
  AVChannelLayout in{}, outLayout{};
  av_channel_layout_default(&in, 2);
  av_channel_layout_default(&outLayout, 1);
  SwrContext* swr = nullptr;
  swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_FLTP, 16000, &in, AV_SAMPLE_FMT_FLTP, 48000, 0, nullptr);
  swr_init(swr);
  std::vector<float> left(kFrames), right(kFrames), mono(kFrames);
  for (uint32_t f = 0; f < kFrames; ++f) left[f] = right[f] = static_cast<float>(std::sin(f * 0.13));
  const uint8_t* planes[2] = {reinterpret_cast<const uint8_t*>(left.data()),
                              reinterpret_cast<const uint8_t*>(right.data())};
  uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(mono.data())};
  const double start = cpuSeconds();
  for (int i = 0; i < kBuffers; ++i) swr_convert(swr, outPlanes, 160, planes, kFrames);
  const double cpu = cpuSeconds() - start;
  swr_free(&swr);
  const double audioSeconds = kBuffers * kFrames / 48000.0;
  std::printf("libswresample alone: %.0f audio s per CPU s\n", audioSeconds / cpu);
  return audioSeconds / cpu;
}

// Lines per second through NDJSONWriter with `writers` threads.
double benchWriter(int writers, bool useWriter) {
  using namespace tavrin::system_audio;
  int fds[2];
  if (pipe(fds) != 0) return 0;
  std::atomic<uint64_t> bytes{0};
  std::thread reader([&] {
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) bytes += static_cast<uint64_t>(n);
  });
  constexpr int kLines = 200000;
  const LiveSegmentEvent event{"system", 42, "the quick brown fox jumps over the lazy dog", false, 1234, 5678};
  const double start = wallSeconds();
  {
    NDJSONWriter writer(fds[1]);
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kLines / writers; ++i) {
          if (useWriter) {
            writer.emit(event);
          } else {
            tavrin::JsonBuilder json(tavrin::SlashStyle::kEscaped);
            event.encode(json);
            tavrin::writeLine(fds[1], json.str());
          }
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  const double elapsed = wallSeconds() - start;
  close(fds[1]);
  reader.join();
  close(fds[0]);
  return kLines / elapsed;
}

}  // namespace

int main() {
  const double ours = benchConverter();
  const double peer = benchRawSwr();
  std::printf("converter / libswresample alone: %.2f\n", ours / peer);
  const double locked = benchWriter(4, true);
  const double unlocked = benchWriter(1, false);
  std::printf("event writer: %.0f lines/s with 4 concurrent writers; one unlocked writer: %.0f lines/s; ratio %.2f\n",
              locked, unlocked, locked / unlocked);
  return 0;
}
