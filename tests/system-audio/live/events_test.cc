#include <gtest/gtest.h>
#include <unistd.h>

#include "system-audio/live/ndjson_writer.h"

namespace tavrin::system_audio {
namespace {

// Everything a writer puts on a pipe.
class PipeCapture {
 public:
  PipeCapture() { EXPECT_EQ(pipe(fds_), 0); }
  ~PipeCapture() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int writeEnd() const { return fds_[1]; }
  std::string drain() {
    close(fds_[1]);
    fds_[1] = -1;
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  int fds_[2];
};

TEST(LiveEvents, EachRecordHasItsKeysInOrder) {
  PipeCapture pipe;
  NDJSONWriter writer(pipe.writeEnd());
  writer.emit(LiveSegmentEvent{"system", 3, " hello/world\n", false, 1234, 2000});
  writer.emit(LiveTranslationEvent{"mic", 0, "hola"});
  writer.emit(LiveStatusEvent{"disabled", "en_US", std::nullopt});
  writer.emit(LiveStatusEvent{"installed", "en_US", "es"});
  writer.emit(LiveErrorEvent{"Translation failed: \"x\""});
  EXPECT_EQ(pipe.drain(),
            "{\"type\":\"segment\",\"source\":\"system\",\"id\":3,\"text\":\" hello\\/world\\n\",\"isFinal\":false,"
            "\"startMs\":1234,\"endMs\":2000}\n"
            "{\"type\":\"translation\",\"source\":\"mic\",\"id\":0,\"text\":\"hola\"}\n"
            "{\"type\":\"status\",\"translationStatus\":\"disabled\",\"sourceLocale\":\"en_US\"}\n"
            "{\"type\":\"status\",\"translationStatus\":\"installed\",\"sourceLocale\":\"en_US\",\"targetLanguage\":\"es\"}\n"
            "{\"type\":\"error\",\"message\":\"Translation failed: \\\"x\\\"\"}\n");
}

TEST(LiveEvents, EngineBytesThatAreNotUtf8StillMakeValidLines) {
  PipeCapture pipe;
  NDJSONWriter writer(pipe.writeEnd());
  writer.emit(LiveSegmentEvent{"mic", 0, "caf\xE9", true, 0, 0});
  EXPECT_EQ(pipe.drain(),
            "{\"type\":\"segment\",\"source\":\"mic\",\"id\":0,\"text\":\"caf\xEF\xBF\xBD\",\"isFinal\":true,"
            "\"startMs\":0,\"endMs\":0}\n");
}

class TimingTest : public ::testing::Test {
 protected:
  LiveTiming make(bool enabled) {
    return LiveTiming(enabled, [this] { return now; }, [this](const std::string& line) { lines.push_back(line); });
  }
  uint64_t now = 5'000'000'000;
  std::vector<std::string> lines;
};

TEST_F(TimingTest, WritesTheLagSinceBeginAgainstTheAudioEnd) {
  LiveTiming timing = make(true);
  timing.log("final", 1.0);  // before begin(): nothing
  EXPECT_TRUE(lines.empty());
  timing.begin();
  now += 13'750'000'000;
  timing.log("final", 12.5);
  timing.log("volatile", 14.0);  // ahead of the clock: negative lag keeps its sign
  EXPECT_EQ(lines, (std::vector<std::string>{"[live-timing] kind=final audioEndSec=12.50 lagMs=1250\n",
                                             "[live-timing] kind=volatile audioEndSec=14.00 lagMs=-250\n"}));
}

TEST_F(TimingTest, DisabledTimingWritesNothing) {
  LiveTiming timing = make(false);
  timing.begin();
  timing.log("final", 0);
  EXPECT_TRUE(lines.empty());
}

TEST(TimingEnvironment, PresenceAloneEnables) {
  unsetenv("TAVRIN_LIVE_TIMING");
  EXPECT_FALSE(LiveTiming::fromEnvironment().enabled());
  setenv("TAVRIN_LIVE_TIMING", "", 1);
  EXPECT_TRUE(LiveTiming::fromEnvironment().enabled());
  unsetenv("TAVRIN_LIVE_TIMING");
}

}  // namespace
}  // namespace tavrin::system_audio
