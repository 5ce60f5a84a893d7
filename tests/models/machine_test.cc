// The English model a machine gets, at each edge of the choice.
#include "models/machine.h"

#include <gtest/gtest.h>

namespace tavrin::models {
namespace {

TEST(EnglishModelTest, ChosenByCoresMemoryAndMeasuredSpeed) {
  constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
  const struct {
    Machine machine;
    std::string model;
  } rows[] = {{{1, 16 * kGiB, 50}, "tiny.en"},
              {{2, 2 * kGiB - 1, 0}, "tiny.en"},
              {{2, 2 * kGiB, 0}, "base.en"},
              {{4, 64 * kGiB, 50}, "base.en"},  // small.en wants 8 cores whatever the speed
              {{8, 8 * kGiB - 1, 50}, "base.en"},
              {{8, 8 * kGiB, kSmallEnglishGflops - 0.1}, "base.en"},
              {{8, 8 * kGiB, kSmallEnglishGflops}, "small.en"}};
  for (const auto& row : rows) {
    EXPECT_EQ(englishModelName(row.machine), row.model)
        << row.machine.cores << " cores, " << row.machine.memoryBytes << " bytes, " << row.machine.gflops;
  }
}

}  // namespace
}  // namespace tavrin::models
