// Figures for `record` on the headless server (48 kHz stereo float sink →
// 16 kHz mono float file):
//   - CPU seconds per recorded hour and peak memory, against parec recording
//     the same monitor at 16 kHz mono in the same run (the server resamples
//     for parec; tavrin-system-audio resamples itself);
//   - memory growth between the first and the last seconds of the run;
//   - samples missing from a recording of a continuous tone, and gaps
//     inside it (breaks in the sine recurrence);
//   - delay from the stop file's creation to the process's exit, against the
//     delay from SIGTERM to exit of parec;
//   - time from starting `record` to its first captured sample (the time in
//     its start file), on an idle sink and on a playing one, against the time
//     from starting parec (asked for the same latency) to its first byte;
//   - the default output switched to another one and back during a 20 s
//     tone that follows the default: silence and breaks in the recording
//     around the switches, against parec recording @DEFAULT_MONITOR@ (the
//     default's monitor when it starts) in the same run.
// The recording of the cost run starts on an idle sink and the tone starts
// with it, so "missing" and "gaps" cover a start on an idle sink.
// The peer parec records the stream the tap records (the sink's 48 kHz
// stereo float) at the latency of the tap's fragment (1024 frames, 21 ms), so
// both get the same data as often from the server; CPU is compared in the
// steady state (all threads' run time between the 5th and the last second).
// Needs PULSE_SERVER to name the test server (bench/record-bench does it).
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& stdoutPath = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    std::perror(argv[0].c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct Usage {
  double cpuSeconds = 0;
  long maxRssKb = 0;
  int status = 0;
};

Usage reap(pid_t pid) {
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Usage u;
  u.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  u.maxRssKb = usage.ru_maxrss;
  u.status = status;
  return u;
}

long rssKb(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  }
  std::fclose(f);
  return kb;
}

// Seconds on a CPU of every thread of `pid` so far (schedstat, ns).
double runSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR* d = opendir(tasks.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (FILE* f = std::fopen((tasks + "/" + e->d_name + "/schedstat").c_str(), "r")) {
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1) total += static_cast<double>(ns) / 1e9;
        std::fclose(f);
      }
    }
    closedir(d);
  }
  return total;
}

std::vector<float> readFloats(const std::string& path) {
  std::vector<float> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  float buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 4, 4096, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  std::fclose(f);
  return out;
}

// Breaks in x[n+1] = 2cos(w)x[n] − x[n−1], the recurrence every pure tone
// satisfies: each lost or repeated stretch of samples shows up as one.
int gaps(const std::vector<float>& x, double frequency, double rate, size_t skip) {
  const double c = 2 * std::cos(2 * M_PI * frequency / rate);
  int count = 0;
  bool inGap = false;
  for (size_t n = skip + 1; n + 1 < x.size(); ++n) {
    const double residual = std::fabs(x[n + 1] - c * x[n] + x[n - 1]);
    const bool bad = residual > 0.05;
    if (bad && !inGap) ++count;
    inGap = bad;
  }
  return count;
}

// Silence after the tone's onset, in runs longer than 1 ms (a sine's zero
// crossings are shorter): the total and the longest, in ms.
std::pair<double, double> quietMs(const std::vector<float>& x, double rate) {
  size_t n = 0;
  while (n < x.size() && std::fabs(x[n]) < 0.1f) ++n;
  size_t run = 0, total = 0, longest = 0;
  const auto minRun = static_cast<size_t>(rate / 1000);
  for (; n <= x.size(); ++n) {
    if (n < x.size() && std::fabs(x[n]) < 0.01f) {
      ++run;
      continue;
    }
    if (run > minRun) total += run;
    longest = std::max(longest, run);
    run = 0;
  }
  return {static_cast<double>(total) * 1000 / rate, static_cast<double>(longest) * 1000 / rate};
}

double wallNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Milliseconds from starting `record` to its first captured sample, as its
// start file stamps it.
double firstSampleMs(const std::string& bin, const std::string& dir) {
  const std::string start = dir + "/first";
  unlink(start.c_str());
  const double t0 = wallNow();
  reap(spawn({bin, "record", "--output", dir + "/first.raw", "--seconds", "1", "--start-file", start}));
  FILE* f = std::fopen(start.c_str(), "r");
  double stamp = 0;
  if (!f || std::fscanf(f, "%lf", &stamp) != 1) stamp = t0 + 99;
  if (f) std::fclose(f);
  return (stamp - t0) * 1000;
}

// Milliseconds from starting parec to the first byte in its output.
double parecFirstByteMs(const std::string& dir) {
  const std::string out = dir + "/first-peer.raw";
  const double t0 = now();
  const pid_t p = spawn({"/usr/bin/parec", "--device=system_output.monitor", "--raw", "--latency-msec=21"}, out);
  struct stat st {};
  double t = 0;
  while ((t = now() - t0) < 5 && (stat(out.c_str(), &st) != 0 || st.st_size == 0)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(p, SIGTERM);
  reap(p);
  return t * 1000;
}

void sh(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const std::string bin = TAVRIN_SYSTEM_AUDIO_BIN;
  char dirTemplate[] = "/tmp/tavrin-bench.XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);
  const std::string tone = dir + "/tone.wav";
  sh("sox -n -r 48000 -c 2 " + tone + " synth " + std::to_string(seconds + 5) + " sine 440 vol 0.5");

  // --- first sample ----------------------------------------------------------------
  for (const bool playing : {false, true}) {
    const pid_t background = playing ? spawn({"/usr/bin/paplay", "--device=system_output", tone}) : -1;
    if (playing) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> ours, peers;
    for (int i = 0; i < 5; ++i) {
      ours.push_back(firstSampleMs(bin, dir));
      peers.push_back(parecFirstByteMs(dir));
    }
    if (playing) {
      kill(background, SIGTERM);
      reap(background);
    }
    std::sort(ours.begin(), ours.end());
    std::sort(peers.begin(), peers.end());
    std::printf(
        "start -> first sample on a %s sink over 5 runs: median %.1f ms, max %.1f ms; peer parec "
        "--latency-msec=21 start -> first byte: median %.1f ms, max %.1f ms\n",
        playing ? "playing" : "idle", ours[2], ours[4], peers[2], peers[4]);
  }

  // --- cost and completeness -------------------------------------------------
  const double started = now();
  const pid_t recorder =
      spawn({bin, "record", "--output", dir + "/out.raw", "--seconds", std::to_string(seconds)}, dir + "/reply");
  const pid_t player = spawn({"/usr/bin/paplay", "--device=system_output", tone});
  const pid_t peer = spawn({"/usr/bin/parec", "--device=system_output.monitor", "--rate=48000", "--channels=2",
                            "--format=float32le", "--raw", "--latency-msec=21"},
                           dir + "/peer.raw");
  const int early = std::min(5, seconds / 2);
  std::this_thread::sleep_for(std::chrono::seconds(early));
  const long rssEarly = rssKb(recorder);
  const double cpuEarly = runSeconds(recorder), peerCpuEarly = runSeconds(peer);
  std::this_thread::sleep_for(std::chrono::seconds(seconds - early - 1));
  const long rssLate = rssKb(recorder);
  const double steady = (runSeconds(recorder) - cpuEarly) * 3600 / (seconds - early - 1);
  const double peerSteady = (runSeconds(peer) - peerCpuEarly) * 3600 / (seconds - early - 1);
  const Usage rec = reap(recorder);
  const double elapsed = now() - started;
  kill(peer, SIGTERM);
  const Usage peerUsage = reap(peer);
  kill(player, SIGTERM);
  reap(player);

  const auto samples = readFloats(dir + "/out.raw");
  const double expected = 16000.0 * seconds;
  std::printf("record --seconds %d (48 kHz stereo float sink -> 16 kHz mono float file), wall %.2f s\n", seconds,
              elapsed);
  std::printf("  reply: ");
  std::fflush(stdout);
  sh("cat " + dir + "/reply");
  std::printf(
      "  CPU: %.3f s => %.1f CPU s per recorded hour (%.3f %% of one core); peer parec %.3f s => %.1f "
      "s/h; ratio tavrin/parec %.2f\n",
      rec.cpuSeconds, rec.cpuSeconds * 3600 / seconds, rec.cpuSeconds / seconds * 100, peerUsage.cpuSeconds,
      peerUsage.cpuSeconds * 3600 / seconds, peerUsage.cpuSeconds > 0 ? rec.cpuSeconds / peerUsage.cpuSeconds : 0);
  std::printf(
      "  steady state (%d s to %d s): %.2f CPU s per recorded hour; peer parec %.2f s/h; ratio tavrin/parec "
      "%.2f\n",
      early, seconds - 1, steady, peerSteady, peerSteady > 0 ? steady / peerSteady : 0);
  std::printf("  peak RSS: %ld kB (peer parec %ld kB); RSS at %d s: %ld kB, at %d s: %ld kB (growth %ld kB)\n",
              rec.maxRssKb, peerUsage.maxRssKb, std::min(5, seconds / 2), rssEarly, seconds - 1, rssLate,
              rssLate - rssEarly);
  // The tone's onset (the player starts with the recording): gaps count from
  // 100 ms after it.
  size_t onset = 0;
  while (onset < samples.size() && std::fabs(samples[onset]) < 0.1f) ++onset;
  std::printf(
      "  samples: %zu of %.0f (missing %.0f = %.1f ms, start-up latency included); tone from %.1f ms; "
      "gaps from 100 ms after its onset: %d\n",
      samples.size(), expected, expected - static_cast<double>(samples.size()),
      (expected - static_cast<double>(samples.size())) / 16.0, static_cast<double>(onset) / 16.0,
      gaps(samples, 440, 16000, onset + 1600));

  // --- default-output switch --------------------------------------------------------
  {
    const std::string switchTone = dir + "/switch-tone.wav";
    sh("sox -n -r 48000 -c 2 " + switchTone + " synth 22 sine 440 vol 0.5");
    sh("pactl load-module module-null-sink sink_name=bench_headset > " + dir + "/module");
    const pid_t player2 = spawn({"/usr/bin/paplay", switchTone});  // no device: it follows the default
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const pid_t ours = spawn({bin, "record", "--output", dir + "/switch.raw", "--seconds", "20"});
    const pid_t parec = spawn({"/usr/bin/parec", "--device=@DEFAULT_MONITOR@", "--rate=16000", "--channels=1",
                               "--format=float32le", "--raw", "--latency-msec=21"},
                              dir + "/switch-peer.raw");
    std::this_thread::sleep_for(std::chrono::seconds(7));
    sh("pactl set-default-sink bench_headset");
    std::this_thread::sleep_for(std::chrono::seconds(7));
    sh("pactl set-default-sink system_output");
    reap(ours);
    kill(parec, SIGTERM);
    reap(parec);
    kill(player2, SIGTERM);
    reap(player2);
    sh("pactl unload-module $(cat " + dir + "/module)");
    const auto recorded = readFloats(dir + "/switch.raw"), peerRecorded = readFloats(dir + "/switch-peer.raw");
    const auto [quiet, longest] = quietMs(recorded, 16000);
    const auto [peerQuiet, peerLongest] = quietMs(peerRecorded, 16000);
    std::printf(
        "default output switched at 7 s and back at 14 s of a 20 s tone: silence after the onset %.1f ms "
        "(longest %.1f ms), breaks %d; peer parec @DEFAULT_MONITOR@: silence %.1f ms (longest %.1f ms), "
        "breaks %d\n",
        quiet, longest, gaps(recorded, 440, 16000, 1600), peerQuiet, peerLongest, gaps(peerRecorded, 440, 16000, 1600));
  }

  // --- stop latency ----------------------------------------------------------------
  std::vector<double> delays, peerDelays;
  for (int i = 0; i < 10; ++i) {
    const std::string stop = dir + "/stop" + std::to_string(i);
    const pid_t p = spawn({bin, "record", "--output", dir + "/stop.raw", "--stop-file", stop});
    std::this_thread::sleep_for(std::chrono::milliseconds(700 + 37 * i));
    const double t0 = now();
    close(open(stop.c_str(), O_WRONLY | O_CREAT, 0644));
    reap(p);
    delays.push_back((now() - t0) * 1000);

    const pid_t q = spawn({"/usr/bin/parec", "--device=system_output.monitor", "--raw"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double t1 = now();
    kill(q, SIGTERM);
    reap(q);
    peerDelays.push_back((now() - t1) * 1000);
  }
  auto stats = [](std::vector<double> v) {
    double sum = 0, max = 0;
    for (double d : v) {
      sum += d;
      max = std::max(max, d);
    }
    return std::pair{sum / static_cast<double>(v.size()), max};
  };
  const auto [mean, max] = stats(delays);
  const auto [peerMean, peerMax] = stats(peerDelays);
  std::printf(
      "stop file -> exit over 10 runs: mean %.1f ms, max %.1f ms; peer parec SIGTERM -> exit: mean %.1f ms, "
      "max %.1f ms; ratio of means %.1f\n",
      mean, max, peerMean, peerMax, peerMean > 0 ? mean / peerMean : 0);
  sh("rm -rf " + dir);
  return 0;
}
