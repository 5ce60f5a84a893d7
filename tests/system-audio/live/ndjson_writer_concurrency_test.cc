#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "system-audio/live/ndjson_writer.h"

namespace tavrin::system_audio {
namespace {

// Lines far longer than a pipe's atomic write, from many threads: none torn or lost.
TEST(NDJSONWriterConcurrency, ConcurrentEmittersNeverTearOrLoseALine) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  std::thread reader([&] {
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) received.append(buf, static_cast<size_t>(n));
  });
  constexpr int kThreads = 8, kEach = 200;
  {
    NDJSONWriter writer(fds[1]);
    std::vector<std::thread> emitters;
    for (int t = 0; t < kThreads; ++t) {
      emitters.emplace_back([&, t] {
        const std::string text(10000 + t, static_cast<char>('a' + t));
        for (int i = 0; i < kEach; ++i) writer.emit(LiveSegmentEvent{"system", i, text, true, 0, 1});
      });
    }
    for (auto& e : emitters) e.join();
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);
  std::istringstream lines(received);
  std::set<std::pair<char, int>> seen;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 80);
    const auto event = nlohmann::json::parse(line);
    seen.insert({event["text"].get<std::string>()[0], event["id"].get<int>()});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace tavrin::system_audio
