// How many threads generation uses: one per CPU that other programs leave
// free, as measured just before the request.
//
// llama.cpp's threads meet at a spinning barrier at every step of a token:
// when another program (a video call) takes a CPU, the thread that shares
// it stalls all the others, and generation with a thread per CPU was
// measured many times slower per token than with one thread. So the count
// is the CPUs this process may run on, less what the rest of the machine
// used of them over a short window, and no more than the physical cores
// among them (a core's second hardware thread adds no speed to generation,
// which waits on memory). bench/llm_threads.sh measures the rule.
#pragma once

#include <cstdint>
#include <vector>

#include "common/processors.h"

namespace tavrin::llm {

// Clock ticks summed over a set of CPUs since boot, and this process's own.
struct CpuTimes {
  uint64_t busy = 0;   // ticks the CPUs ran anything (steal included)
  uint64_t total = 0;  // all their ticks, idle included
  uint64_t own = 0;    // ticks this process ran, all its threads
};

// The physical cores among `cpus` (CPUs that share a core count once); the
// number of CPUs when the topology cannot be read.
int physicalCores(const std::vector<int>& cpus);

// Reads /proc/stat and /proc/self/stat; all zero when they cannot be read.
CpuTimes sampleCpuTimes(const std::vector<int>& cpus);

// The thread count for `cpus` CPUs of `cores` physical cores, given samples
// taken before and after a window: the CPUs others left free (a CPU that is
// more than a quarter taken is not free), at least 1, at most `cores`. With
// no ticks in the window, as if idle.
int threadsFor(const CpuTimes& before, const CpuTimes& after, int cpus, int cores);

}  // namespace tavrin::llm
