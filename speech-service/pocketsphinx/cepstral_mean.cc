#include "speech-service/pocketsphinx/cepstral_mean.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "speech-service/models/kept_file.h"

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

namespace {

// A mean whose every value a front end can produce: c0 within the range the
// estimate bins, the other coefficients within kMaxCoefficient. Anything
// else (1e30, say) would silence the channel it is applied to.
bool inRange(const std::vector<float>& mean) {
  constexpr double kMaxCoefficient = 64;
  for (size_t d = 0; d < mean.size(); ++d) {
    const double v = mean[d];
    const bool ok = d == 0 ? v >= CepstralMeanEstimate::kLowestC0 && v <= CepstralMeanEstimate::kHighestC0
                           : std::abs(v) <= kMaxCoefficient;
    if (!ok) return false;
  }
  return true;
}

// One line of a few dozen numbers; anything larger is not ours.
constexpr size_t kMaxMeanFileBytes = 4096;

}  // namespace

std::optional<std::vector<float>> readCepstralMean(const std::string& path, size_t dimensions) {
  const std::optional<std::string> text = readKeptFile(path, kMaxMeanFileBytes);
  if (!text) return std::nullopt;
  std::istringstream numbers(text->substr(0, text->find('\n')));
  std::vector<float> mean;
  for (double v; numbers >> v;) {
    if (!std::isfinite(v)) return std::nullopt;
    mean.push_back(static_cast<float>(v));
  }
  if (!numbers.eof() || mean.size() != dimensions || !inRange(mean)) return std::nullopt;
  return mean;
}

void writeCepstralMean(const std::string& path, const std::vector<float>& mean) {
  if (!inRange(mean)) return;
  std::ostringstream out;
  for (size_t d = 0; d < mean.size(); ++d) out << (d > 0 ? " " : "") << mean[d];
  out << '\n';
  writeKeptFile(path, out.str());
}

}  // namespace tavrin::speech
