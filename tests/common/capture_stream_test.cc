#include "common/capture_stream.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

namespace tavrin {
namespace {

TEST(UnboundedStreamTest, ManyProducersOneConsumerNothingLostInPerProducerOrder) {
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
  });
  std::vector<int> last(kProducers, -1);
  int count = 0;
  while (auto item = stream.next()) {
    const int p = *item / kEach;
    EXPECT_GT(*item, last[p]);
    last[p] = *item;
    ++count;
  }
  finisher.join();
  EXPECT_EQ(count, kProducers * kEach);
}

TEST(UnboundedStreamTest, FinishWakesAWaitingReaderAfterQueuedItems) {
  UnboundedStream<int> stream;
  std::vector<int> got;
  std::atomic<bool> ended{false};
  std::thread reader([&] {
    while (auto item = stream.next()) got.push_back(*item);
    ended = true;
  });
  stream.add(1);
  stream.add(2);
  stream.finish();
  stream.add(3);  // after the end: ignored
  reader.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(got, (std::vector<int>{1, 2}));
  stream.finish();  // idempotent
  EXPECT_FALSE(stream.next());
}

TEST(UnboundedStreamTest, CancelDropsQueuedAndLaterItems) {
  CaptureStream stream;
  auto buffer = PcmBuffer::create(PcmFormat::float32(16000, 1), 16);
  std::weak_ptr<PcmBuffer> watch = buffer;
  stream.add(buffer);
  buffer.reset();
  stream.cancel();
  EXPECT_TRUE(watch.expired());  // released at once, not when the stream dies
  stream.add(PcmBuffer::create(PcmFormat::float32(16000, 1), 16));
  EXPECT_EQ(stream.queued(), 0u);
  EXPECT_FALSE(stream.next());
}

TEST(UnboundedStreamTest, CancelWakesABlockedReader) {
  UnboundedStream<int> stream;
  std::thread reader([&] { EXPECT_FALSE(stream.next()); });
  stream.cancel();
  reader.join();
}

}  // namespace
}  // namespace tavrin
