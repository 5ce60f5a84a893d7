#include "common/capture_stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tavrin {
namespace {

TEST(UnboundedStreamTest, ManyProducersLoseNothingAndFinishDrainsBeforeTheEnd) {
  UnboundedStream<int> stream;
  constexpr int kProducers = 4, kEach = 20000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) stream.add(p * kEach + i);
    });
  }
  std::thread finisher([&] {
    for (auto& t : producers) t.join();
    stream.finish();
    stream.add(-1);  // after the end: ignored
  });
  std::vector<int> last(kProducers, -1);
  int count = 0;
  while (auto item = stream.next()) {
    ASSERT_GE(*item, 0);
    EXPECT_GT(*item, last[*item / kEach]);  // each producer's order is kept
    last[*item / kEach] = *item;
    ++count;
  }
  finisher.join();
  EXPECT_EQ(count, kProducers * kEach);
}

}  // namespace
}  // namespace tavrin
