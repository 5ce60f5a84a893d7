// The real tavrin-apple-llm binary's exact output and exit status, models in a temporary XDG home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "apple-llm/app.h"
#include "apple-llm/testmodel/testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::llm {
namespace {

using testing::ProcessResult;
using testing::TempDir;
using testing::writeFile;
using Args = std::vector<std::string>;

class CliTest : public ::testing::Test {
 protected:
  CliTest() { std::filesystem::create_directories(models()); }

  std::string models() const { return home_.path() + "/tavrin/models"; }
  std::string log() const { return files_.file("log"); }

  ProcessResult run(Args args, const std::string& libraryPath = "") {
    args.insert(args.begin(), TAVRIN_APPLE_LLM_BIN);
    testing::ProcessOptions options;
    options.setEnv = {
        {"XDG_DATA_HOME", home_.path()}, {"XDG_DATA_DIRS", systemData_.path()}, {"TAVRIN_LLM_LOG", log()}};
    if (!libraryPath.empty()) options.setEnv["LD_LIBRARY_PATH"] = libraryPath;
    options.timeout = std::chrono::seconds(120);
    return testing::runProcess(args, options);
  }

  void expectFailure(const Args& args, const std::string& line) {
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, line + "\n") << ::testing::PrintToString(args);
  }

  void expectStatus(const std::string& reply) {
    const ProcessResult r = run({"status", "--ignored"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, reply + "\n");
  }

  TempDir home_;
  TempDir systemData_;
  TempDir files_;
};

TEST_F(CliTest, ArgumentAndFileFailures) {
  testmodel::writeModel(models() + "/tiny.gguf", testmodel::tinyShape());
  const std::string missing = files_.file("no such\n/file ü\xfe.txt");  // reported as one line of valid UTF-8
  writeFile(files_.file("blank.txt"), "  \t\n\n \r\n ");
  writeFile(files_.file("bad.txt"), "You: caf\xE9 \xFF\xFE");
  writeFile(files_.file("huge.txt"), std::string((size_t{16} << 20) + 1, 'x'));
  // Trimming and UTF-8 come before the length; a FIFO is not waited on.
  writeFile(files_.file("huge-blank.txt"), std::string(size_t{17} << 20, ' '));
  writeFile(files_.file("huge-bad.txt"), std::string(size_t{17} << 20, 'x') + "\xFF");
  ASSERT_EQ(::mkfifo(files_.file("fifo").c_str(), 0600), 0);
  const std::string invalid = HelperError::invalidArguments().what(), empty = HelperError::emptyTranscript().what();
  struct Case {
    Args args;
    std::string line;
  };
  for (const Case& c :
       {Case{{}, invalid}, Case{{"Status"}, invalid}, Case{{"EXTRACT", "x"}, invalid}, Case{{"synthesize"}, invalid},
        Case{{"extract", missing}, HelperError::fileNotFound(files_.file("no such /file ü\xEF\xBF\xBD.txt")).what()},
        Case{{"extract", files_.file("blank.txt")}, empty}, Case{{"synthesize", files_.file("bad.txt")}, empty},
        Case{{"extract", files_.path()}, empty},
        Case{{"extract", files_.file("huge.txt")}, HelperError::tooLong().what()},
        Case{{"extract", files_.file("huge-blank.txt")}, empty},
        Case{{"synthesize", files_.file("huge-bad.txt")}, empty}, Case{{"extract", files_.file("fifo")}, empty}}) {
    expectFailure(c.args, c.line);
  }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// Each row installs model files (oldest first); the best usable one wins, and `extract` runs exactly when
// `status` says available.
TEST_F(CliTest, StatusAndPassesAgreeOnEachModelState) {
  writeFile(files_.file("t.txt"), "You: caf\u00e9 \U0001F600");
  const auto written = [&](const testmodel::Shape& shape) {
    testmodel::writeModel(files_.file("m"), shape);
    return testing::readFile(files_.file("m"));
  };
  const std::string good = written(testmodel::tinyShape());
  testmodel::Shape noEmojiBytes = testmodel::tinyShape(), unknownTemplate = noEmojiBytes, shortContext = noEmojiBytes;
  noEmojiBytes.leadByteTokens = false;
  unknownTemplate.chatTemplate = "{{ messages }}";
  shortContext.contextLength = 1200;
  testmodel::writeOversizedHeader(files_.file("huge"), uint64_t{1} << 50);
  std::string nanWeight = good;  // one weight of the middle tensor becomes a NaN (F32, 32-byte aligned data)
  nanWeight.replace(nanWeight.size() / 2 & ~size_t{31}, 4, std::string("\x00\x00\xC0\x7F", 4));
  const std::map<std::string, std::string> content{
      {"good", good},
      {"partial", good.substr(0, good.size() / 2)},
      {"huge", testing::readFile(files_.file("huge"))},
      // Models llama.cpp refuses, or asserts on, or cannot serve a request with.
      {"unknown-architecture", replaced(good, "llama", "zzzzz")},
      {"missing-key", replaced(good, "llama.block_count", "llama.block_cXunt")},
      {"duplicate-token", replaced(good, "<0x41>", "<0x40>")},
      {"no-emoji-bytes", written(noEmojiBytes)},
      {"unknown-template", written(unknownTemplate)},
      {"short-context", written(shortContext)},
      {"nan-weight", nanWeight}};
  using R = UnavailableReason;
  const std::string notEnabled = describe(R::kAppleIntelligenceNotEnabled), notReady = describe(R::kModelNotReady),
                    unusable = describe(R::kOther);
  // Availability comes before the length of the transcript.
  writeFile(files_.file("huge.txt"), "You: " + std::string(size_t{17} << 20, 'x'));
  expectFailure({"extract", files_.file("huge.txt")}, notEnabled);
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string reason;                                      // empty: available
  };
  for (const Case& c :
       {Case{{}, notEnabled}, Case{{{"model.gguf.part", "good"}}, notReady},
        Case{{{"huge.gguf", "huge"}}, describe(R::kDeviceNotEligible)},
        Case{{{"m.gguf", "unknown-architecture"}}, unusable}, Case{{{"m.gguf", "missing-key"}}, unusable},
        Case{{{"m.gguf", "duplicate-token"}}, unusable}, Case{{{"m.gguf", "no-emoji-bytes"}}, unusable},
        Case{{{"m.gguf", "unknown-template"}}, unusable}, Case{{{"m.gguf", "short-context"}}, unusable},
        Case{{{"m.gguf", "nan-weight"}}, unusable}, Case{{{"old.gguf", "good"}, {"new.gguf", "nan-weight"}}, ""},
        Case{{{"m.gguf", "duplicate-token"}, {"n.gguf", "partial"}}, notReady},
        Case{{{"m.gguf", "duplicate-token"}, {"huge.gguf", "huge"}}, describe(R::kDeviceNotEligible)},
        Case{{{"qwen-good.gguf", "good"}, {"Llama-partial-copy.gguf", "partial"}}, ""},
        Case{{{"z.gguf", "good"}, {"a.gguf", "duplicate-token"}, {"b.gguf.download", "good"}}, ""}}) {
    std::filesystem::remove_all(models());
    std::filesystem::create_directories(models());
    const auto now = std::filesystem::file_time_type::clock::now();
    for (size_t i = 0; i < c.files.size(); ++i) {
      writeFile(models() + "/" + c.files[i].first, content.at(c.files[i].second));
      std::filesystem::last_write_time(models() + "/" + c.files[i].first,
                                       now - std::chrono::seconds(c.files.size() - i));
    }
    SCOPED_TRACE(::testing::PrintToString(c.files));
    if (c.reason.empty()) {
      expectStatus(R"({"available":true,"status":"available"})");
      // Each pass prints one complete record and nothing else; loading and generating are silent.
      for (const auto& [pass, keys] :
           {std::pair{"extract", "topics decisions actionItems "}, std::pair{"synthesize", "title summary "}}) {
        const ProcessResult r = run({pass, files_.file("t.txt"), "ja"});
        EXPECT_TRUE(r.exitStatus == 0 && r.err.empty() && r.out.find('\n') == r.out.size() - 1) << r.err << r.out;
        std::string found;
        const auto reply = nlohmann::ordered_json::parse(r.out, nullptr, false);  // keys in the order written
        for (const auto& [key, value] : reply.items()) found += key + " ";
        EXPECT_EQ(found, keys) << r.out;
      }
    } else {
      expectStatus(R"({"available":false,"status":"unavailable","reason":")" + c.reason + "\"}");
      expectFailure({"extract", files_.file("t.txt")}, c.reason);
    }
  }
  // Another ggml first in the library path does not keep llama.cpp from loading its own.
  EXPECT_EQ(run({"status"}, FOREIGN_GGML_DIR).out, "{\"available\":true,\"status\":\"available\"}\n");
  // The log names what was refused and why, and what is used.
  const std::string logged = testing::readFile(log());
  EXPECT_NE(logged.find(models() + "/a.gguf: The language model failed: "), std::string::npos) << logged;
  EXPECT_NE(logged.find("using " + models() + "/z.gguf\n"), std::string::npos) << logged;
  // A download of tavrin-models: in progress while its lock is held, else paused.
  std::filesystem::remove_all(models());
  std::filesystem::create_directories(models());
  writeFile(models() + "/model.gguf.part", good.substr(0, 100));
  const int lock = ::open((models() + "/model.gguf.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  expectStatus(R"({"available":false,"status":"unavailable","reason":")" + notEnabled + "\"}");
  ::flock(lock, LOCK_EX);
  expectStatus(R"({"available":false,"status":"unavailable","reason":")" + notReady + "\"}");
  ::close(lock);
}

}  // namespace
}  // namespace tavrin::llm
