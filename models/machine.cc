#include "models/machine.h"

#include <unistd.h>

#include <chrono>
#include <vector>

#include "common/processors.h"

namespace tavrin::models {
namespace {

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

bool allowsSmall(const Machine& machine) {
  return machine.cores >= 8 && machine.memoryBytes >= 8 * kGiB;
}

// Single-precision multiply-adds per second on one core, in billions: a
// 96 × 96 matrix product (the shape of work the encoder does), repeated for
// about 20 ms, best of the repetitions.
double measureGflops() {
  constexpr int n = 96;
  std::vector<float> a(n * n), b(n * n), c(n * n);
  for (int i = 0; i < n * n; ++i) {
    a[static_cast<size_t>(i)] = static_cast<float>(i % 17) * 0.01f;
    b[static_cast<size_t>(i)] = static_cast<float>(i % 13) * 0.02f;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(20);
  double best = 0;
  volatile float sink = 0;
  while (Clock::now() < until) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < n; ++i) {
      float* row = &c[static_cast<size_t>(i * n)];
      for (int j = 0; j < n; ++j) row[j] = 0;
      for (int k = 0; k < n; ++k) {
        const float x = a[static_cast<size_t>(i * n + k)];
        const float* other = &b[static_cast<size_t>(k * n)];
        for (int j = 0; j < n; ++j) row[j] += x * other[j];
      }
    }
    sink = sink + c[static_cast<size_t>(n + 1)];
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds > 0) best = std::max(best, 2.0 * n * n * n / seconds / 1e9);
  }
  return best;
}

}  // namespace

Machine thisMachine() {
  Machine machine;
  machine.cores = allowedCpuCount();
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) machine.memoryBytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  if (allowsSmall(machine)) machine.gflops = measureGflops();
  return machine;
}

std::string englishModelName(const Machine& machine) {
  if (machine.cores < 2 || machine.memoryBytes < 2 * kGiB) return "tiny.en";
  if (allowsSmall(machine) && machine.gflops >= kSmallEnglishGflops) return "small.en";
  return "base.en";
}

}  // namespace tavrin::models
