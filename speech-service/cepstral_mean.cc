#include "speech-service/cepstral_mean.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavrin::speech {

CepstralMeanEstimate::CepstralMeanEstimate(size_t dimensions)
    : dimensions_(dimensions), binFrames_(kBins), binSums_(kBins * dimensions) {}

void CepstralMeanEstimate::seed(const std::vector<float>& prior) {
  if (prior.size() == dimensions_) prior_ = prior;
}

void CepstralMeanEstimate::add(const float* frame) {
  if (dimensions_ == 0 || !std::isfinite(frame[0])) return;
  const double c0 = std::clamp(std::floor(frame[0] - kLowestC0), 0.0, static_cast<double>(kBins - 1));
  const size_t bin = static_cast<size_t>(c0);
  binFrames_[bin] += 1;
  for (size_t d = 0; d < dimensions_; ++d) binSums_[bin * dimensions_ + d] += frame[d];
  frames_ += 1;
  if (frames_ > kWindowFrames) {
    // Keep two thirds of the window's weight: older speech fades.
    const double keep = 2.0 / 3.0;
    for (double& f : binFrames_) f *= keep;
    for (double& s : binSums_) s *= keep;
    frames_ *= keep;
  }
}

CepstralMeanEstimate::Selection CepstralMeanEstimate::select() const {
  Selection selection;
  selection.sum.assign(dimensions_, 0.0);
  if (frames_ <= 0) return selection;
  // The loud end: the bin below which 95 % of the frames lie.
  size_t loud = kBins;
  double above = 0;
  while (loud > 0 && above < 0.05 * frames_) above += binFrames_[--loud];
  const double loudC0 = kLowestC0 + static_cast<double>(loud);
  selection.loudEnough = loudC0 >= kMinSpeechC0;
  const double floorC0 = loudC0 - kSpeechRangeC0;
  for (size_t bin = 0; bin < kBins; ++bin) {
    if (kLowestC0 + static_cast<double>(bin) < floorC0) continue;
    selection.frames += binFrames_[bin];
    for (size_t d = 0; d < dimensions_; ++d) selection.sum[d] += binSums_[bin * dimensions_ + d];
  }
  return selection;
}

bool CepstralMeanEstimate::heardSpeech() const {
  const Selection selection = select();
  return selection.loudEnough && selection.frames >= kMinSpeechFrames;
}

std::optional<std::vector<float>> CepstralMeanEstimate::estimate() const {
  Selection selection = select();
  if (!selection.loudEnough || selection.frames < kMinSpeechFrames) {
    if (prior_.empty()) return std::nullopt;
    return prior_;
  }
  const double priorFrames = prior_.empty() ? 0 : kPriorFrames;
  std::vector<float> mean(dimensions_);
  for (size_t d = 0; d < dimensions_; ++d) {
    const double prior = prior_.empty() ? 0 : prior_[d] * priorFrames;
    mean[d] = static_cast<float>((selection.sum[d] + prior) / (selection.frames + priorFrames));
  }
  return mean;
}

bool CepstralMeanEstimate::movedFrom(const std::vector<float>& mean) const {
  const std::optional<std::vector<float>> now = estimate();
  return now && !mean.empty() && std::abs((*now)[0] - mean[0]) >= kMovedC0;
}

std::optional<std::vector<float>> readCepstralMean(const std::string& path, size_t dimensions) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  std::istringstream numbers(line);
  std::vector<float> mean;
  for (double v; numbers >> v;) {
    if (!std::isfinite(v)) return std::nullopt;
    mean.push_back(static_cast<float>(v));
  }
  if (!numbers.eof() || mean.size() != dimensions) return std::nullopt;
  return mean;
}

void writeCepstralMean(const std::string& path, const std::vector<float>& mean) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // Written aside and renamed over: a reader never sees half a line, and
  // two channels ending at once each leave a whole file.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid()) + "-" +
                                std::to_string(reinterpret_cast<uintptr_t>(&mean));
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (size_t d = 0; d < mean.size(); ++d) out << (d > 0 ? " " : "") << mean[d];
    out << '\n';
    if (!out) {
      fs::remove(temporary, ec);
      return;
    }
  }
  fs::rename(temporary, path, ec);
  if (ec) fs::remove(temporary, ec);
}

}  // namespace tavrin::speech
