// The cepstral-mean estimate and the file that keeps it for a next run.
#include "speech-service/pocketsphinx/cepstral_mean.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/subprocess.h"

namespace tavrin::speech {
namespace {

// The estimate from loud frames only, once enough speech was heard; whether it moved from the mean an utterance was
// decoded with.
TEST(CepstralMeanTest, EstimatesFromLoudFramesOnlyOnceEnoughSpeechWasHeard) {
  struct Frames {
    int count;
    float c0, c1;
  };
  struct Row {
    const char* name;
    std::vector<float> prior;
    std::vector<Frames> frames;
    std::optional<float> c1;  // of the estimate
    bool heardSpeech;         // worth keeping
    std::vector<float> used = {};
    bool moved = false;
  };
  const std::vector<Row> rows = {
      {"speech", {}, {{100, 70, 1}}, 1.0f, true},
      {"speech among near-silence", {}, {{400, 20, -5}, {100, 70, 1}, {400, 30, -5}}, 1.0f, true},
      {"near-silence only", {}, {{800, 30, -5}}, std::nullopt, false},
      {"too little speech", {}, {{30, 70, 1}, {400, 0, -5}}, std::nullopt, false},
      {"prior until speech", {50, 3}, {{800, 30, -5}}, 3.0f, false},
      {"prior blended with speech", {50, 3}, {{100, 70, 1}}, 2.0f, true},
      {"speech far above the prior", {41, 0}, {{100, 70, 0}}, 0.0f, true, {41, 0}, true},
      {"speech far below the mean used", {}, {{100, 70, 0}}, 0.0f, true, {74, 0}, true},
      {"speech near the mean used", {}, {{100, 70, 0}}, 0.0f, true, {72, 0}, false},
      {"prior only, as used", {41, 0}, {{100, 20, 0}}, 0.0f, false, {41, 0}, false},
      {"neither estimate nor prior", {}, {{100, 20, 0}}, std::nullopt, false, {41, 0}, false}};
  for (const Row& row : rows) {
    CepstralMeanEstimate estimate(2);
    estimate.seed(row.prior);
    for (const Frames& f : row.frames) {
      const float frame[2] = {f.c0, f.c1};
      for (int i = 0; i < f.count; ++i) estimate.add(frame);
    }
    const std::optional<std::vector<float>> mean = estimate.estimate();
    EXPECT_EQ(mean ? std::optional((*mean)[1]) : std::nullopt, row.c1) << row.name;
    EXPECT_EQ(estimate.heardSpeech(), row.heardSpeech) << row.name;
    EXPECT_EQ(!row.used.empty() && estimate.movedFrom(row.used), row.moved) << row.name;
  }
}

TEST(CepstralMeanTest, KeptFileIsReadBackOnlyWhenWholeInRangeAndARegularFile) {
  const testing::TempDir dir;
  const std::string path = dir.file("cepstral-mean/sources/mic");
  writeCepstralMean(path, {52.5f, -1.25f, 3});
  EXPECT_EQ(readCepstralMean(path, 3), (std::vector<float>{52.5f, -1.25f, 3}));
  EXPECT_EQ(readCepstralMean(path + "-absent", 3), std::nullopt);
  writeCepstralMean(path, {1e30f, 0, 0});  // never written
  EXPECT_EQ(readCepstralMean(path, 3), (std::vector<float>{52.5f, -1.25f, 3}));
  for (const std::string& corrupt : std::vector<std::string>{"", "1 2", "1 2 x", "1 nan 3", "1 2 3 4", "1e30 2 3",
                                                             "200 2 3", "50 -99 3", "1 2 3" + std::string(5000, ' ')}) {
    testing::writeFile(path, corrupt);
    EXPECT_EQ(readCepstralMean(path, 3), std::nullopt) << corrupt.substr(0, 10);
  }
  // A link to a good file, a FIFO (no writer: opening it would block), a directory.
  const std::string good = path + "-good", link = path + "-link", fifo = path + "-fifo";
  writeCepstralMean(good, {52.5f, -1.25f, 3});
  std::filesystem::create_symlink(good, link);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& other : {link, fifo, dir.path()})
    EXPECT_EQ(readCepstralMean(other, 3), std::nullopt) << other;
  writeCepstralMean(link, {50, 1, 2});  // replaces the link, not what it points to
  EXPECT_EQ(readCepstralMean(good, 3), (std::vector<float>{52.5f, -1.25f, 3}));
  EXPECT_EQ(readCepstralMean(link, 3), (std::vector<float>{50, 1, 2}));
}

}  // namespace
}  // namespace tavrin::speech
