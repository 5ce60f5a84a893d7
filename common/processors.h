// The processors this process may run on.
#pragma once

#include <vector>

namespace tavrin {

// The CPUs in this process's affinity mask, in order; empty when it cannot
// be read.
std::vector<int> allowedCpus();

// How many CPUs this process may run on; at least 1.
int allowedCpuCount();

}  // namespace tavrin
