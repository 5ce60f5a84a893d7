// The real binary without a sound server; translation-status sees the installed eng-spa and a random-weight model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

TEST(SystemAudioCli, ExactOutputOfEachCommandLine) {
  TempDir dir;
  writeFile(dir.file("stop"), "");
  const std::string stop = dir.file("stop");
  // Exit status 0: the line on standard output; 1: on standard error.
  std::filesystem::create_directories(dir.file("model/tavrin/speech/whisper"));
  speech::WhisperHparams multilingual = speech::testmodel::whisperMicroHparams();
  multilingual.nVocab = speech::testmodel::whisperTestHparams(speech::testmodel::WhisperSize::kTiny, true).nVocab;
  speech::testmodel::writeWhisperTestModel(dir.file("model/tavrin/speech/whisper/ggml-base.bin"), {multilingual});
  const auto status = [](std::string source, std::string target) {
    return std::vector<std::string>{"translation-status", "--source", source, "--target", target};
  };
  const struct {
    std::vector<std::string> args;
    int exitStatus;
    std::string line;
    std::string dataHome = "none";  // "model": the random-weight model's
  } rows[] = {
      {{}, 0, R"({"available":false,"status":"unavailable","reason":"Connection refused"})"},
      {{"--version"}, 0, "tavrin-system-audio 0.3.0"},
      {{"Status"}, 1, "Unknown system audio command: Status."},
      {{"Sta\ntus"}, 1, "Unknown system audio command: Sta tus."},
      {{"a/b\xff\r"}, 1, "Unknown system audio command: a/b\xEF\xBF\xBD ."},
      {{"record", "--seconds", "2", "--output"}, 1, "Missing --output path for system audio recording."},
      {{"record", "--output", "/nonexistent\ndir/a.raw"},
       1,
       "Could not open system audio output file: /nonexistent dir/a.raw."},
      {{"record", "--output", dir.file("a.raw"), "--seconds", "1", "--start-file", dir.file("start")},
       1,
       "Connection refused"},
      {{"probe", "--seconds", "1"}, 1, "Connection refused"},
      {{"live", "--stop-file", stop, "--translate-to", "es"}, 1, "CoreAudio error (CreateProcessTap): 6"},
      {{"live", "--no-system", "--stop-file", stop},
       0,
       R"({"type":"error","message":"Microphone capture failed: Connection refused"})"},
      {{"translation-status", "--source", "en"}, 1, "Missing --target language for translation status."},
      {{"translation-status", "--target", ""}, 1, "Missing --target language for translation status."},
      {{"translation-status", "--target", "es", "--source", ""},
       0,
       R"({"status":"installed","source":"en_US","target":"es"})"},
      {{"translation-status", "--source", "en-US", "--target", "es"},
       0,
       R"({"status":"installed","source":"en_US","target":"es"})"},
      {{"translation-status", "--source", "en", "--target", "ca"},
       0,
       R"({"status":"needsDownload","source":"en","target":"ca"})"},
      {{"translation-status", "--target", "x/y"}, 0, R"({"status":"unsupported","source":"en_US","target":"x\/y"})"},
      {{"translation-status", "--target", "de-AT", "--source", "de"},
       0,
       R"({"status":"sameLanguage","source":"de","target":"de-AT"})"},
      // Into English by the speech model, onward from English through Apertium.
      {status("de", "en"), 0, R"({"status":"installed","source":"de","target":"en"})", "model"},
      {status("ja-JP", "en-GB"), 0, R"({"status":"installed","source":"ja_JP","target":"en-GB"})", "model"},
      {status("de-DE", "es"), 0, R"({"status":"installed","source":"de_DE","target":"es"})", "model"},
      {status("de", "ca"), 0, R"({"status":"needsDownload","source":"de","target":"ca"})", "model"},
      {status("de", "xx"), 0, R"({"status":"unsupported","source":"de","target":"xx"})", "model"},
      {status("de", "en"), 0, R"({"status":"needsDownload","source":"de","target":"en"})"}};
  ProcessOptions options;
  options.setEnv = {{"PULSE_SERVER", "unix:" + dir.file("no-server")}, {"LANG", "en_US.UTF-8"}};
  options.unsetEnv = {"LC_ALL", "LC_MESSAGES", "TAVRIN_LIVE_TIMING"};
  options.timeout = std::chrono::seconds(20);
  for (const auto& row : rows) {
    options.setEnv["XDG_DATA_HOME"] = dir.file(row.dataHome);
    std::vector<std::string> argv = row.args;
    argv.insert(argv.begin(), TAVRIN_SYSTEM_AUDIO_BIN);
    const ProcessResult r = runProcess(argv, options);
    const std::string what = ::testing::PrintToString(row.args) + " in " + row.dataHome;
    EXPECT_EQ(r.exitStatus == 0 ? r.out : r.err, row.line + "\n") << what;
    EXPECT_EQ(r.exitStatus == 0 ? r.err : r.out, "") << what;
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
    int exitStatus = 1;
  } rows[] = {{R"(ulimit -n 8; exec "$0" record --output "$1/b.raw" --seconds 1)", "Connection refused\n"},
              {R"(mkfifo "$1/fifo"; exec "$0" record --output "$1/fifo" --seconds 1)",
               "Could not open system audio output file: " + dir.file("fifo") + ".\n"},
              // whisper.cpp's OpenMP threads in live wait passively: libgomp shows what it read, at each start.
              {R"(env -u OMP_WAIT_POLICY OMP_DISPLAY_ENV=verbose "$0" live --no-system --stop-file / 2>&1 | grep SPIN)",
               "  GOMP_SPINCOUNT = '300000'\n  GOMP_SPINCOUNT = '0'\n", 0}};
  ProcessOptions options;
  options.setEnv = {{"PULSE_SERVER", "unix:" + dir.file("no-server")}};
  options.timeout = std::chrono::seconds(20);
  for (const auto& row : rows) {
    const ProcessResult r = runProcess({"/bin/sh", "-c", row.script, TAVRIN_SYSTEM_AUDIO_BIN, dir.path()}, options);
    EXPECT_EQ(r.out + r.err, row.err) << row.script;
    EXPECT_EQ(r.exitStatus, row.exitStatus) << row.script;
  }
}

}  // namespace
}  // namespace tavrin::testing
