// Which English Whisper model suits this machine.
//
// Whisper's English-only models grow about threefold in work per step
// (tiny.en, base.en, small.en). The choice keeps file transcription well
// under real time and live finals under a second on the machine it runs on:
//   - fewer than 2 cores, or under 2 GiB of memory: tiny.en;
//   - 8 cores or more, 8 GiB or more and a single core that measures at
//     least kSmallEnglishGflops: small.en;
//   - otherwise base.en (so 2 to 4 cores always get base.en).
// The measurement (a few tens of milliseconds of arithmetic on one core) is
// taken only where it can change the answer.
//
// The choice decides what is downloaded, not what is used: an English model
// already installed serves English whatever this says, so a run that
// measured differently never fetches a second model.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::models {

struct Machine {
  int cores = 1;             // CPUs this process may run on
  uint64_t memoryBytes = 0;  // physical memory
  double gflops = 0;         // one core's measured speed; 0: not measured
};

constexpr double kSmallEnglishGflops = 8.0;

// This machine; measures the speed only when cores and memory allow small.en.
Machine thisMachine();

// The catalogue name of the English model for `machine`.
std::string englishModelName(const Machine& machine);

}  // namespace tavrin::models
