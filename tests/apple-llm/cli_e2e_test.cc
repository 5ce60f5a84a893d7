// The real tavrin-apple-llm binary's exact output and exit status, models in a temporary XDG home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

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

  ProcessResult run(Args args) {
    args.insert(args.begin(), TAVRIN_APPLE_LLM_BIN);
    testing::ProcessOptions options;
    options.setEnv = {{"XDG_DATA_HOME", home_.path()}, {"XDG_DATA_DIRS", systemData_.path()}};
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

  void installTinyModel() { testmodel::writeModel(models() + "/tiny.gguf", testmodel::tinyShape()); }

  TempDir home_;
  TempDir systemData_;
  TempDir files_;
};

TEST_F(CliTest, ArgumentAndFileFailures) {
  installTinyModel();
  const std::string missing = files_.file("no such/file ü.txt");
  writeFile(files_.file("blank.txt"), "  \t\n\n \r\n ");
  writeFile(files_.file("bad.txt"), "You: caf\xE9 \xFF\xFE");
  writeFile(files_.file("huge.txt"), std::string((size_t{16} << 20) + 1, 'x'));
  struct Case {
    Args args;
    std::string line;
  };
  for (const Case& c : {Case{{}, "Invalid arguments."}, Case{{"Status"}, "Invalid arguments."},
                        Case{{"EXTRACT", "x"}, "Invalid arguments."}, Case{{"synthesize"}, "Invalid arguments."},
                        Case{{"extract", missing}, "Transcript file not found: " + missing},
                        Case{{"extract", files_.file("blank.txt")}, "Transcript is empty."},
                        Case{{"synthesize", files_.file("bad.txt")}, "Transcript is empty."},
                        Case{{"extract", files_.path()}, "Transcript is empty."},
                        Case{{"extract", files_.file("huge.txt")}, "Transcript is too long."}}) {
    expectFailure(c.args, c.line);
  }
}

TEST_F(CliTest, StatusAndPassesAgreeOnEachModelState) {
  writeFile(files_.file("t.txt"), "You: hello");
  const std::string unavailable = R"({"available":false,"status":"unavailable","reason":")";
  const auto expectUnavailable = [&](const std::string& reason) {
    expectStatus(unavailable + reason + "\"}");
    expectFailure({"extract", files_.file("t.txt")}, reason);
  };
  expectUnavailable("Enable Apple Intelligence in System Settings to generate summaries.");
  writeFile(models() + "/model.gguf.part", "GGUF");
  expectUnavailable("The on-device model is still downloading. Try again shortly.");
  // A download of tavrin-models: in progress while its lock is held, else paused.
  const int lock = ::open((models() + "/model.gguf.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  expectUnavailable("Enable Apple Intelligence in System Settings to generate summaries.");
  ::flock(lock, LOCK_EX);
  expectUnavailable("The on-device model is still downloading. Try again shortly.");
  ::close(lock);
  testmodel::writeOversizedHeader(models() + "/huge.gguf", uint64_t{1} << 50);
  expectUnavailable("This device does not support Apple Intelligence.");
  std::filesystem::remove(models() + "/huge.gguf");
  // Models llama.cpp cannot load: an unknown architecture, a key missing from the metadata.
  installTinyModel();
  const std::string model = testing::readFile(models() + "/tiny.gguf");
  for (const auto& [from, to] : {std::pair{"llama", "zzzzz"}, std::pair{"llama.block_count", "llama.block_cXunt"}}) {
    std::string broken = model;
    broken.replace(broken.find(from), std::string(from).size(), to);
    writeFile(models() + "/a-broken.gguf", broken);
    expectUnavailable("Apple Intelligence is unavailable on this device.");
  }
  std::filesystem::remove(models() + "/a-broken.gguf");
  expectStatus(R"({"available":true,"status":"available"})");
}

TEST_F(CliTest, EachPassPrintsOneCompleteRecordAndNothingElse) {
  installTinyModel();
  writeFile(files_.file("t.txt"), "\n\nYou: Let's move the launch to Monday.\nOthers: Fine.\n\n");
  const std::map<std::string, std::set<std::string>> keys{{"extract", {"topics", "decisions", "actionItems"}},
                                                          {"synthesize", {"title", "summary"}}};
  for (const Args& args : {Args{"extract", files_.file("t.txt")}, Args{"synthesize", files_.file("t.txt"), "ja"}}) {
    const ProcessResult r = run(args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");  // loading and generating are silent
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    const nlohmann::json reply = nlohmann::json::parse(r.out);
    std::set<std::string> found;
    for (const auto& [key, value] : reply.items()) found.insert(key);
    EXPECT_EQ(found, keys.at(args[0])) << r.out;
  }
}

}  // namespace
}  // namespace tavrin::llm
