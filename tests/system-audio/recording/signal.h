// Small signal measurements for the recording smoke tests and benchmarks.
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace tavrin::testing {

inline std::vector<float> floatSamples(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

// Power of `samples` at `frequency` (Goertzel).
inline double powerAt(const std::vector<float>& samples, double frequency, double rate) {
  const double w = 2 * M_PI * frequency / rate;
  const double coefficient = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float x : samples) {
    const double s = x + coefficient * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// The frequency with the most power between `from` and `to`, in `step` Hz.
inline double dominantFrequency(const std::vector<float>& samples, double rate, double from = 50, double to = 4000,
                                double step = 5) {
  double best = from, bestPower = -1;
  for (double f = from; f <= to; f += step) {
    const double p = powerAt(samples, f, rate);
    if (p > bestPower) {
      bestPower = p;
      best = f;
    }
  }
  return best;
}

inline double rms(const std::vector<float>& samples) {
  double sum = 0;
  for (float x : samples) sum += static_cast<double>(x) * x;
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

inline float peak(const std::vector<float>& samples) {
  float p = 0;
  for (float x : samples) p = std::max(p, std::fabs(x));
  return p;
}

}  // namespace tavrin::testing
