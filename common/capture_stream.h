// An unbounded, thread-safe stream of items with one consumer.
//
// Producers (capture callbacks on any thread) add items; nothing is ever
// dropped for a slow consumer. The producer side ends the stream with
// finish(): the consumer then receives every queued item and then the end.
// A consumer that gives up (a live channel whose set-up failed) calls
// cancel(): queued items are released at once and later ones are discarded,
// so an abandoned stream never grows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "common/pcm_buffer.h"

namespace tavrin {

template <typename T>
class UnboundedStream {
 public:
  // Queues `item` unless the stream has finished or been cancelled.
  // Never blocks beyond the short internal lock.
  void add(T item) {
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (finished_ || cancelled_) return;
      items_.push_back(std::move(item));
      wake = waitsForItem_;
    }
    if (wake) ready_.notify_one();
  }

  // Ends the stream; idempotent. Items already queued are still delivered.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    ready_.notify_all();
  }

  // The consumer walks away: drops everything queued and everything added
  // later; next() returns the end from now on. Idempotent.
  void cancel() {
    std::deque<T> dropped;
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      dropped.swap(items_);
    }
    ready_.notify_all();
  }

  // Blocks until an item is queued or the stream has ended; std::nullopt is
  // the end. For the single consumer only.
  std::optional<T> next() {
    std::unique_lock lock(mutex_);
    waitsForItem_ = true;
    ready_.wait(lock, [&] { return !items_.empty() || finished_ || cancelled_; });
    waitsForItem_ = false;
    if (cancelled_ || items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

  // Everything queued, taken once every `period` (items added meanwhile
  // wake nobody): one wake-up a period for a consumer that need not see
  // each item at once. The end cuts the wait short; empty is the end.
  // For the single consumer only.
  std::deque<T> nextBatch(std::chrono::milliseconds period) {
    std::unique_lock lock(mutex_);
    while (!ready_.wait_for(lock, period, [&] { return finished_ || cancelled_; }) && items_.empty()) {
    }
    std::deque<T> batch;
    if (!cancelled_) batch.swap(items_);
    return batch;
  }

  size_t queued() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  bool isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> items_;
  bool finished_ = false;
  bool cancelled_ = false;
  bool waitsForItem_ = false;  // the consumer sleeps in next()
};

// The stream every capture object offers: independent copies of captured
// buffers, in capture order.
using CaptureStream = UnboundedStream<PcmBufferPtr>;

}  // namespace tavrin
