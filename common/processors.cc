#include "common/processors.h"

#include <sched.h>

#include <algorithm>

namespace tavrin {

std::vector<int> allowedCpus() {
  std::vector<int> cpus;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &set)) cpus.push_back(c);
    }
  }
  return cpus;
}

int allowedCpuCount() {
  return std::max(1, static_cast<int>(allowedCpus().size()));
}

}  // namespace tavrin
