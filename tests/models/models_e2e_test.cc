// tavrin-models and the speech helper's downloads against a loopback HTTPS server with faults
// (tests/support/model-server): resuming, starting over, stopping, checksums, never touching an installed model. Always
// the build tree's programs: only they read the test catalogue.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <limits>
#include <regex>
#include <thread>

#include "speech-service/testmodel/whisper_testmodel.h"
#include "tests/support/model_downloads.h"
#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;

const std::string kModels = TAVRIN_MODELS_BUILT;
const std::string kSpeech = TAVRIN_APPLE_SPEECH_BUILT;

TEST(ModelsE2eTest, InstallFaultsEndInOneLineAndNoModel) {
  std::string bytes(3'000'000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
  const Downloads downloads("f.bin", bytes);
  const std::string whisper = downloads.data("speech/whisper/ggml-base.bin");
  const std::string notes = downloads.data("models/qwen2.5-1.5b-instruct-q4_k_m.gguf");
  struct Row {
    std::string fault, model, err, installed;
    std::string switchFile = "";
    uintmax_t partBytes = 0;  // kept for a later resume
  };
  const std::string failed = "Could not download ggml-base.bin: ";
  const std::vector<Row> rows = {
      {"ok", "base", "", whisper},
      {"drop", "base", "", whisper},
      {"norange", "base", "", whisper},
      {"stuck", "base",
       "Could not download ggml-base.bin: transfer closed with 1500000 bytes remaining to read; it resumes when "
       "started again.\n",
       "", "", 1'500'000},
      {"corrupt", "base", failed + "its checksum does not match.\n", ""},
      {"redirect", "base", "", whisper},
      {"hub", "notes", "", notes},
      {"insecure", "base", failed + "the server redirected to an address that is not HTTPS.\n", ""},
      {"404", "base", failed + "the server answered HTTP 404.\n", ""},
      {"500", "base", failed + "the server answered HTTP 500.\n", ""},
      {"short", "base", failed + "its checksum does not match.\n", ""},
      {"ok", "notes", "Could not download qwen2.5-1.5b-instruct-q4_k_m.gguf: the server declared no checksum for it.\n",
       ""},
      {"ok", "base",
       "Model downloads are turned off: put ggml-base.bin (from " + downloads.address("ok") + ") into " +
           downloads.data("speech/whisper") + " by hand.\n",
       "", "downloads = off\n"}};
  for (const Row& row : rows) {
    downloads.reset();
    ProcessOptions options = downloads.options(row.fault);
    if (!row.switchFile.empty()) {
      std::filesystem::create_directories(options.setEnv["XDG_CONFIG_HOME"] + "/tavrin");
      writeFile(options.setEnv["XDG_CONFIG_HOME"] + "/tavrin/models.conf", row.switchFile);
    }
    const ProcessResult r = runProcess({kModels, "install", row.model}, options);
    SCOPED_TRACE(row.fault + " " + row.model);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.exitStatus, row.err.empty() ? 0 : 1);
    const std::string done = R"({"type":"installed","model":")" + row.model + R"(","path":")" + row.installed + "\"}\n";
    if (!row.installed.empty()) {
      EXPECT_TRUE(r.out.ends_with(done)) << r.out;
      EXPECT_EQ(readFile(row.installed), bytes);
    }
    for (const std::string& path : {whisper, notes, notes + ".part"}) {
      EXPECT_EQ(std::filesystem::exists(path), path == row.installed) << path;
    }
    EXPECT_EQ(std::filesystem::exists(whisper + ".part") ? std::filesystem::file_size(whisper + ".part") : 0,
              row.partBytes);
    // A cut download resumes where it was cut, and starts over when the server answers with the whole file.
    EXPECT_EQ(downloads.log().find("/" + row.fault + "/f.bin bytes=1500000-\n") != std::string::npos,
              row.fault == "drop" || row.fault == "norange" || row.fault == "stuck" || row.fault == "corrupt");
  }
}

TEST(ModelsE2eTest, OneDownloadForTwoProcessesAndAStopSignalKeepsThePartOnly) {
  const Downloads downloads("f.bin", std::string(2'000'000, 'x'));
  const std::string part = downloads.data("speech/whisper/ggml-base.bin.part");
  const auto waitForPart = [&](uintmax_t bytes) {
    for (int i = 0; i < 400 && !(std::filesystem::exists(part) && std::filesystem::file_size(part) >= bytes); ++i) {
      std::this_thread::sleep_for(25ms);
    }
  };
  BackgroundProcess first({kModels, "install", "base"}, downloads.options("slow"));
  waitForPart(1);
  const ProcessResult second = runProcess({kModels, "install", "base"}, downloads.options("slow"));
  const ProcessResult one = first.wait();
  EXPECT_EQ(one.exitStatus, 0) << one.err;
  EXPECT_EQ(second.exitStatus, 0) << second.err;
  EXPECT_EQ(second.out.rfind("{\"type\":\"waiting\",\"model\":\"base\"}\n", 0), 0u) << second.out;
  // An installed model is never downloaded again.
  EXPECT_EQ(runProcess({kModels, "install", "base"}, downloads.options("ok")).exitStatus, 0);
  EXPECT_EQ(downloads.log(), "/slow/f.bin -\n");
  const std::string status = R"({"downloads":true,"speechDirectory":")" + downloads.data("speech/whisper") +
                             R"(","notesDirectory":")" + downloads.data("models") + "\",";
  EXPECT_EQ(runProcess({kModels, "status"}, downloads.options("ok")).out,
            status + R"("installed":["base"],"downloading":[]})" + "\n");
  EXPECT_EQ(runProcess({kModels, "remove", "base"}, downloads.options("ok")).exitStatus, 0);
  EXPECT_EQ(runProcess({kModels, "remove", "base"}, downloads.options("ok")).err, "base is not installed.\n");

  downloads.reset();
  BackgroundProcess stalled({kModels, "install", "base"}, downloads.options("stall"));
  waitForPart(1'000'000);
  ::kill(stalled.pid(), SIGTERM);
  const ProcessResult stopped = stalled.wait(10s);
  EXPECT_EQ(stopped.exitStatus, 1);
  EXPECT_EQ(stopped.err, "The download of ggml-base.bin was stopped; it resumes when started again.\n");
  EXPECT_EQ(std::filesystem::file_size(part), 1'000'000u);
  EXPECT_FALSE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin")));
}

TEST(ModelsE2eTest, TranscribeInstallsTheModelOfALocaleFirstUsed) {
  TempDir scratch;
  using namespace speech::testmodel;
  writeWhisperTestModel(scratch.file("model.bin"), {whisperTestHparams(WhisperSize::kTiny, true), 1, 3.0f});
  const Downloads downloads("ggml-base.bin", readFile(scratch.file("model.bin")));
  writeFile(scratch.file("silence.raw"), std::string(16000 * 4, '\0'));
  const auto speech = [&](std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    ProcessOptions options = downloads.options("ok");
    options.setEnv.merge(env);
    args.insert(args.begin(), kSpeech);
    return runProcess(args, options);
  };
  const std::string status = R"({"available":true,"status":"%","locale":"de_DE"})"
                             "\n";
  const auto statusOf = [&](const char* state) { return std::regex_replace(status, std::regex("%"), state); };
  EXPECT_EQ(speech({"status", "de-DE"}).out, statusOf("supported"));
  std::filesystem::create_directories(downloads.data("speech/whisper"));
  {
    const int lock = ::open((downloads.data("speech/whisper/ggml-base.bin.lock")).c_str(), O_RDWR | O_CREAT, 0644);
    ::flock(lock, LOCK_EX);
    EXPECT_EQ(speech({"status", "de-DE"}).out, statusOf("downloading"));
    ::close(lock);
  }
  // The real Whisper engine on the random-weight model: the duration, segments within it, the result; the engine's own
  // log lines never on standard error.
  const ProcessResult r = speech({"transcribe", scratch.file("silence.raw"), "de-DE"});
  EXPECT_TRUE(r.exitStatus == 0 && r.err.empty()) << r.err;
  EXPECT_EQ(r.out.rfind("{\"type\":\"duration\",\"ms\":1000}\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("{\"type\":\"result\","), std::string::npos) << r.out;
  const std::regex end(R"("endMs":(\d+))");
  for (auto m = std::sregex_iterator(r.out.begin(), r.out.end(), end); m != std::sregex_iterator(); ++m) {
    EXPECT_LE(std::stoul((*m)[1]), 1000u) << r.out;
  }
  EXPECT_EQ(speech({"status", "de-DE"}).out, statusOf("installed"));
  EXPECT_EQ(downloads.log(), "/ok/ggml-base.bin -\n");
  // A damaged model is one line, before anything is written.
  const std::string model = downloads.data("speech/whisper/ggml-base.bin");
  writeFile(model, readFile(model).substr(0, 60));
  const ProcessResult damaged = speech({"transcribe", scratch.file("silence.raw"), "de-DE"});
  EXPECT_EQ(damaged.out + damaged.err, "The Whisper model " + model + " is damaged: it ends early.\n");
}

// English is Whisper's once its model can be had, and PocketSphinx's at once and in full whenever it cannot. With a
// Whisper model, silence gives no segment (steady noise: whisper_test), and a damaged sample changes nothing but its
// moment.
TEST(ModelsE2eTest, EnglishIsWhispersWhenItsModelCanBeHadAndPocketSphinxsOtherwise) {
  TempDir scratch;
  using namespace speech::testmodel;
  writeWhisperTestModel(scratch.file("model.bin"), {whisperTestHparams(WhisperSize::kTiny, false), 1, 3.0f});
  const Downloads downloads("ggml-base.en.bin", readFile(scratch.file("model.bin")));
  const auto raw = [&](const std::string& name, const std::vector<float>& samples) {
    writeFile(scratch.file(name), std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 4));
    return scratch.file(name);
  };
  std::vector<float> speech(16000, 0.0f);
  const std::vector<float> spoken = spokenSamples("Today we talk about the new budget for the coming year.");
  ASSERT_FALSE(spoken.empty());
  speech.insert(speech.end(), spoken.begin(), spoken.end());
  speech.resize(speech.size() + 16000, 0.0f);
  const auto transcribe = [&](const std::string& fault, const std::string& file,
                              std::map<std::string, std::string> env = {}) {
    ProcessOptions options = downloads.options(fault);
    options.setEnv.merge(env);
    return runProcess({kSpeech, "transcribe", file, "en-US"}, options);
  };
  const auto status = [&] { return runProcess({kSpeech, "status", "en-US"}, downloads.options("ok")).out; };
  const std::string installed = R"({"available":true,"status":"installed","locale":"en_US"})"
                                "\n";
  const std::string file = raw("speech.raw", speech);
  const ProcessResult builtIn = transcribe("ok", file, {{"TAVRIN_MODEL_DOWNLOADS", "off"}});
  ASSERT_EQ(builtIn.exitStatus, 0) << builtIn.err;
  EXPECT_NE(builtIn.out.find("budget"), std::string::npos) << builtIn.out;
  // No server, a damaged download: the same lines at once, and no error.
  for (const char* fault : {"404", "short"}) {
    const ProcessResult r = transcribe(fault, file);
    EXPECT_EQ(r.out + r.err, builtIn.out) << fault;
    EXPECT_EQ(r.exitStatus, 0);
  }
  EXPECT_EQ(status(), installed);
  const ProcessResult whisper = transcribe("ok", file);
  EXPECT_EQ(whisper.exitStatus, 0) << whisper.err;
  EXPECT_EQ(whisper.out.find("budget"), std::string::npos) << whisper.out;
  // The model stays for later runs, which need no download.
  EXPECT_EQ(transcribe("ok", file, {{"TAVRIN_MODEL_DOWNLOADS", "off"}}).out, whisper.out);
  EXPECT_EQ(status(), installed);
  EXPECT_EQ(downloads.log(), "/404/ggml-base.en.bin -\n/short/ggml-base.en.bin -\n/ok/ggml-base.en.bin -\n");

  const std::string empty =
      "{\"type\":\"duration\",\"ms\":5000}\n{\"type\":\"result\",\"text\":\"\",\"segments\":[]}\n";
  EXPECT_EQ(transcribe("ok", raw("silence.raw", std::vector<float>(5 * 16000))).out, empty);
  std::vector<float> damaged = speech, zeroed = speech;
  damaged[24000] = std::numeric_limits<float>::quiet_NaN(), zeroed[24000] = 0;
  damaged[40000] = 1e30f, zeroed[40000] = 0;
  EXPECT_EQ(transcribe("ok", raw("damaged.raw", damaged)).out, transcribe("ok", raw("zeroed.raw", zeroed)).out);
}

}  // namespace
}  // namespace tavrin::testing
