// The progress bar of tavrin-models install on a terminal: each redraw returns to the line's start and stays shorter
// than the terminal, so it never wraps into a new line; its rate is the one given, a stall says so.
#include <gtest/gtest.h>

#include "models/tavrin_models.h"

namespace tavrin::models {
namespace {

TEST(ProgressLine, FitsTheTerminalAndRedrawsInPlace) {
  const std::string half = "  50%  75 MB of 150 MB  12.5 MB/s  0:06 left\x1b[K";
  const struct {
    std::string name;
    uint64_t done;
    std::optional<uint64_t> total;
    double rate;
    bool stalled;
    size_t columns;
    std::string line;
  } rows[] = {
      {"base", 75'000'000, 150'000'000, 12.5e6, false, 80, "\rbase [#############-------------]" + half},
      {"base", 75'000'000, 150'000'000, 12.5e6, false, 200, "\rbase [####################--------------------]" + half},
      {"base", 75'000'000, 150'000'000, 0, true, 80,
       "\rbase [##############---------------]  50%  75 MB of 150 MB  0.0 MB/s  stalled\x1b[K"},
      {"base", 75'000'000, 150'000'000, 12.5e6, false, 50, "\rbase " + half},
      {"large-v3-turbo", 75'000'000, 150'000'000, 12.5e6, false, 40, "\rlarge-v3-turbo   50%  75 MB of 150 MB  \x1b[K"},
      {"notes", 3'000'000'000, std::nullopt, 0, true, 80, "\rnotes  3.0 GB  0.0 MB/s  stalled\x1b[K"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(progressLine(row.name, row.done, row.total, row.rate, row.stalled, row.columns), row.line) << row.columns;
  }
}

}  // namespace
}  // namespace tavrin::models
