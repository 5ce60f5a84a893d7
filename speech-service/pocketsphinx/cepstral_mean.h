// The cepstral mean a recognizer normalises its features with, estimated
// from the speech it hears.
//
// The decoder subtracts a running mean from every cepstral frame. Its own
// estimate starts from the acoustic model's default, only moves at the end
// of each utterance and averages every frame its voice detector lets
// through, near-silence included: the first utterance of a file or of a
// channel is decoded with a mean far from the audio's, and long stretches of
// faint noise (room tone, the residue of echo cancellation) pull the mean
// away from the voice. CepstralMeanEstimate keeps a mean of loud frames
// only: frames whose energy (the first coefficient, c0) lies within
// kSpeechRangeC0 of the loud end of what was heard (its 95th percentile).
// It is valid once enough such frames were heard and the loud end reaches
// kMinSpeechC0; until then it yields the prior it was seeded with, if any.
//
// Not thread-safe; one per recognizer.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrin::speech {

class CepstralMeanEstimate {
 public:
  // c0 is in the front end's units: about 1.15 per decibel; loud speech
  // near full scale sits around 75-80, digital silence near -46.
  static constexpr double kSpeechRangeC0 = 34;    // about 30 dB below the loud end
  static constexpr double kMinSpeechC0 = 35;      // a loud end below this is near-silence
  static constexpr double kMinSpeechFrames = 50;  // 0.5 s of speech
  static constexpr double kPriorFrames = 100;     // weight of the seed
  static constexpr double kWindowFrames = 1500;   // older frames fade beyond this
  static constexpr double kMovedC0 = 3;           // about 2.5 dB: a mean this far off garbles words
  static constexpr double kLowestC0 = -64;        // the range of c0 the estimate bins
  static constexpr double kHighestC0 = 128;

  explicit CepstralMeanEstimate(size_t dimensions);

  // The mean to start from (a default, or a previous run's estimate),
  // weighing as kPriorFrames frames of speech; replaces an earlier seed.
  // Ignored when its size is wrong.
  void seed(const std::vector<float>& prior);

  // One cepstral frame of `dimensions` values, c0 first.
  void add(const float* frame);

  // The mean of the loud frames heard (blended with the prior), or the
  // prior alone while too little speech was heard, or nothing.
  std::optional<std::vector<float>> estimate() const;

  // Whether the estimate (or the prior standing in for it) lies kMovedC0 or
  // more from `mean` in c0: audio normalised with `mean` is worth decoding
  // again. Never when there is neither an estimate nor a prior.
  bool movedFrom(const std::vector<float>& mean) const;

  // Whether the frames heard themselves make a valid estimate (a prior
  // alone does not): only such an estimate is worth keeping for a next run.
  bool heardSpeech() const;

 private:
  static constexpr size_t kBins = 192;  // c0 from -64 to 128, one unit each
  struct Selection {
    std::vector<double> sum;
    double frames = 0;
    bool loudEnough = false;
  };
  Selection select() const;

  size_t dimensions_;
  std::vector<double> binFrames_;  // weight of the frames per c0 bin
  std::vector<double> binSums_;    // their summed frames, dimensions_ per bin
  double frames_ = 0;
  std::vector<float> prior_;
};

// The estimate kept for a next run in `path` (a kept file, models/kept_file.h):
// one line of numbers. Nothing when the file is absent, refused, or not
// `dimensions` numbers in the range a front end produces.
std::optional<std::vector<float>> readCepstralMean(const std::string& path, size_t dimensions);

// Replaces the file (creating its directory) with `mean`; a mean out of
// range is not written, and a failure leaves the old file and is otherwise
// ignored: the estimate is only a head start.
void writeCepstralMean(const std::string& path, const std::vector<float>& mean);

}  // namespace tavrin::speech
