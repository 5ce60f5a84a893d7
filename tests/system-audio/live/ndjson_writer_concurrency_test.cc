#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "system-audio/live/ndjson_writer.h"

namespace tavrin::system_audio {
namespace {

// Lines far longer than the pipe's atomic-write size, from many threads at
// once: every line must come out whole and valid, and none may be lost.
TEST(NDJSONWriterConcurrency, ConcurrentEmittersNeverTearOrLoseALine) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
  });

  constexpr int kThreads = 8, kEach = 200;
  {
    NDJSONWriter writer(fds[1]);
    std::vector<std::thread> emitters;
    for (int t = 0; t < kThreads; ++t) {
      emitters.emplace_back([&, t] {
        const std::string text(10000 + t, static_cast<char>('a' + t));
        for (int i = 0; i < kEach; ++i) {
          if (i % 2 == 0) {
            writer.emit(LiveSegmentEvent{t % 2 ? "mic" : "system", i, text, i % 4 == 0, 0, 1});
          } else {
            writer.emit(LiveErrorEvent{text + "/" + std::to_string(i)});
          }
        }
      });
    }
    for (auto& e : emitters) e.join();
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);

  std::istringstream lines(received);
  std::string line;
  std::set<std::pair<char, int>> seen;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(nlohmann::json::accept(line)) << line.substr(0, 80);
    const auto event = nlohmann::json::parse(line);
    if (event["type"] == "segment") {
      const std::string text = event["text"];
      seen.insert({text[0], event["id"].get<int>()});
    } else {
      const std::string message = event["message"];
      seen.insert({message[0], std::stoi(message.substr(message.find('/') + 1))});
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace tavrin::system_audio
