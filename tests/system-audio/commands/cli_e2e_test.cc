// The real binary without a sound server; translation-status sees the installed eng-spa only.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

TEST(SystemAudioCli, ExactOutputOfEachCommandLine) {
  TempDir dir;
  writeFile(dir.file("stop"), "");
  const std::string stop = dir.file("stop");
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    int exitStatus;
  } rows[] = {
      {{},
       R"({"available":false,"status":"unavailable","reason":"Connection refused"})"
       "\n",
       "",
       0},
      {{"Status"}, "", "Unknown system audio command: Status.\n", 1},
      {{"Sta\ntus"}, "", "Unknown system audio command: Sta tus.\n", 1},
      {{"a/b\xff\r"}, "", "Unknown system audio command: a/b\xEF\xBF\xBD .\n", 1},
      {{"record", "--seconds", "2", "--output"}, "", "Missing --output path for system audio recording.\n", 1},
      {{"record", "--output", "/nonexistent\ndir/a.raw"},
       "",
       "Could not open system audio output file: /nonexistent dir/a.raw.\n",
       1},
      {{"record", "--output", dir.file("a.raw"), "--seconds", "1", "--start-file", dir.file("start")},
       "",
       "Connection refused\n",
       1},
      {{"probe", "--seconds", "1"}, "", "Connection refused\n", 1},
      {{"live", "--stop-file", stop, "--translate-to", "es"}, "", "CoreAudio error (CreateProcessTap): 6\n", 1},
      {{"live", "--no-system", "--stop-file", stop},
       R"({"type":"error","message":"Microphone capture failed: Connection refused"})"
       "\n",
       "",
       0},
      {{"translation-status", "--source", "en"}, "", "Missing --target language for translation status.\n", 1},
      {{"translation-status", "--target", ""}, "", "Missing --target language for translation status.\n", 1},
      {{"translation-status", "--target", "es", "--source", ""},
       R"({"status":"installed","source":"en_US","target":"es"})"
       "\n",
       "",
       0},
      {{"translation-status", "--source", "en", "--target", "ca"},
       R"({"status":"needsDownload","source":"en","target":"ca"})"
       "\n",
       "",
       0},
      {{"translation-status", "--target", "x/y"},
       R"({"status":"unsupported","source":"en_US","target":"x\/y"})"
       "\n",
       "",
       0},
      {{"translation-status", "--target", "de-AT", "--source", "de"},
       R"({"status":"sameLanguage","source":"de","target":"de-AT"})"
       "\n",
       "",
       0},
  };
  ProcessOptions options;
  options.setEnv = {{"PULSE_SERVER", "unix:" + dir.file("no-server")}, {"LANG", "en_US.UTF-8"}};
  options.unsetEnv = {"LC_ALL", "LC_MESSAGES", "TAVRIN_LIVE_TIMING"};
  options.timeout = std::chrono::seconds(20);
  for (const auto& row : rows) {
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), TAVRIN_SYSTEM_AUDIO_BIN);
    const ProcessResult r = runProcess(argv, options);
    const std::string what = row.args.empty() ? "(none)" : row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : "");
    EXPECT_EQ(r.out, row.out) << what;
    EXPECT_EQ(r.err, row.err) << what;
    EXPECT_EQ(r.exitStatus, row.exitStatus) << what;
  }
  EXPECT_EQ(readFile(dir.file("a.raw")), "");  // created, nothing recorded
  EXPECT_FALSE(std::ifstream(dir.file("start")));
}

// Started by a shell as hosts sometimes start it: what reaches stderr and the output file.
TEST(SystemAudioCli, FewDescriptorsAndAFifoWithoutReader) {
  TempDir dir;
  const struct {
    std::string script, err;
  } rows[] = {
      {R"(ulimit -n 8; exec "$0" record --output "$1/b.raw" --seconds 1)", "Connection refused\n"},
      {R"(mkfifo "$1/fifo"; exec "$0" record --output "$1/fifo" --seconds 1)",
       "Could not open system audio output file: " + dir.file("fifo") + ".\n"},
  };
  ProcessOptions options;
  options.setEnv = {{"PULSE_SERVER", "unix:" + dir.file("no-server")}};
  options.timeout = std::chrono::seconds(20);
  for (const auto& row : rows) {
    const ProcessResult r = runProcess({"/bin/sh", "-c", row.script, TAVRIN_SYSTEM_AUDIO_BIN, dir.path()}, options);
    EXPECT_EQ(r.out + r.err, row.err) << row.script;
    EXPECT_EQ(r.exitStatus, 1) << row.script;
  }
}

}  // namespace
}  // namespace tavrin::testing
