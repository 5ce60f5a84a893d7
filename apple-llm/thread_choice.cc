#include "apple-llm/thread_choice.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace tavrin::llm {

int physicalCores(const std::vector<int>& cpus) {
  std::set<std::string> cores;
  for (int c : cpus) {
    std::ifstream siblings("/sys/devices/system/cpu/cpu" + std::to_string(c) + "/topology/core_cpus_list");
    std::ifstream older("/sys/devices/system/cpu/cpu" + std::to_string(c) + "/topology/thread_siblings_list");
    std::string list;
    if (!std::getline(siblings, list) && !std::getline(older, list)) return static_cast<int>(cpus.size());
    cores.insert(list);
  }
  return static_cast<int>(cores.size());
}

CpuTimes sampleCpuTimes(const std::vector<int>& cpus) {
  CpuTimes times;
  const std::set<int> wanted(cpus.begin(), cpus.end());
  std::ifstream stat("/proc/stat");
  std::string line;
  while (std::getline(stat, line)) {
    if (line.rfind("cpu", 0) != 0 || line.size() < 4 || line[3] < '0' || line[3] > '9') continue;
    std::istringstream in(line.substr(3));
    int cpu = -1;
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    if (!in || wanted.count(cpu) == 0) continue;
    const uint64_t busy = user + nice + system + irq + softirq + steal;
    times.busy += busy;
    times.total += busy + idle + iowait;
  }
  // utime and stime are fields 14 and 15; the name before them (in
  // parentheses) may hold spaces, so counting starts after its ')'.
  std::ifstream self("/proc/self/stat");
  std::string all((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close != std::string::npos) {
    std::istringstream in(all.substr(close + 1));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 13 && in >> field; ++i) {
    }
    if (in >> utime >> stime) times.own = utime + stime;
  }
  return times;
}

int threadsFor(const CpuTimes& before, const CpuTimes& after, int cpus, int cores) {
  const int most = std::max(1, std::min(cpus, cores));
  if (after.total <= before.total || cpus <= 0) return most;
  const double busy = static_cast<double>(after.busy - std::min(after.busy, before.busy));
  const double own = static_cast<double>(after.own - std::min(after.own, before.own));
  const double perCpu = static_cast<double>(after.total - before.total) / cpus;
  const double others = std::max(0.0, busy - own) / perCpu;
  const int free = static_cast<int>(std::floor(cpus - others + 0.25));
  return std::clamp(free, 1, most);
}

}  // namespace tavrin::llm
