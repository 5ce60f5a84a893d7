// tavrin-models and the speech helper's downloads against a loopback HTTPS server with faults
// (tests/support/model-server): resuming, starting over, stopping, checksums, never touching an installed model. Always
// the build tree's programs: only they read the test catalogue.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <limits>
#include <regex>
#include <thread>

#include "apple-llm/testmodel/testmodel.h"
#include "speech-service/whisper/testmodel/whisper_testmodel.h"
#include "tests/support/model_downloads.h"
#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

using namespace std::chrono_literals;

const std::string kModels = TAVRIN_MODELS_BUILT;
const std::string kSpeech = TAVRIN_APPLE_SPEECH_BUILT;
const std::string kNotes = TAVRIN_APPLE_LLM_BUILT;

TEST(ModelsE2eTest, InstallFaultsEndInOneLineAndNoModel) {
  std::string bytes(3'000'000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
  const Downloads downloads("f.bin", bytes);
  const std::string whisper = downloads.data("speech/whisper/ggml-base.bin");
  const std::string notes = downloads.data("models/qwen2.5-1.5b-instruct-q4_k_m.gguf");
  struct Row {
    std::string fault, model, err, installed;
    std::string switchFile = "";
    uintmax_t partBytes = 0;   // kept for a later resume
    std::string planted = "";  // in the .part before the run
    bool closedStdio = false;  // started with descriptors 0-2 closed
  };
  const std::string failed = "Could not download ggml-base.bin: ",
                    notesFailed = "Could not download qwen2.5-1.5b-instruct-q4_k_m.gguf: ";
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
      {"busy", "base", failed + "the server answered HTTP 503; it resumes when started again.\n", "", "", 1'500'000},
      {"ok", "base", "", whisper, "", 0, bytes},  // complete: the server answers 416
      {"ok", "base", "", whisper, "", 0, "", true},
      {"oversize", "base", failed + "the server sent more than 3000000 bytes.\n", ""},
      {"oversize", "notes", notesFailed + "the server sent more than 3000000 bytes.\n", ""},
      {"storage", "notes", notesFailed + "the server declared no checksum for it.\n", ""},
      {"ok", "notes", notesFailed + "the server declared no checksum for it.\n", ""},
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
    if (!row.planted.empty()) {
      std::filesystem::create_directories(downloads.data("speech/whisper"));
      writeFile(whisper + ".part", row.planted);
    }
    const std::vector<std::string> closed = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
    std::vector<std::string> argv = {kModels, "install", row.model};
    if (row.closedStdio) argv.insert(argv.begin(), closed.begin(), closed.end());
    const ProcessResult r = runProcess(argv, options);
    SCOPED_TRACE(row.fault + " " + row.model + (row.planted.empty() ? "" : " planted"));
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.exitStatus, row.err.empty() ? 0 : 1);
    const std::string done = R"({"type":"installed","model":")" + row.model + R"(","path":")" + row.installed + "\"}\n";
    if (!row.installed.empty()) {
      EXPECT_TRUE(r.out.ends_with(done) || row.closedStdio) << r.out;
      EXPECT_EQ(readFile(row.installed), bytes);
    }
    for (const std::string& path : {whisper, notes, notes + ".part"}) {
      EXPECT_EQ(std::filesystem::exists(path), path == row.installed) << path;
    }
    EXPECT_EQ(std::filesystem::exists(whisper + ".part") ? std::filesystem::file_size(whisper + ".part") : 0,
              row.partBytes);
    // A cut download resumes where it was cut, and starts over when the server answers with the whole file.
    EXPECT_EQ(downloads.log().find("/" + row.fault + "/f.bin bytes=1500000-\n") != std::string::npos,
              row.fault == "drop" || row.fault == "norange" || row.fault == "stuck" || row.fault == "corrupt" ||
                  row.fault == "busy");
    EXPECT_EQ(downloads.log().find("/ok/f.bin bytes=3000000-\n") != std::string::npos, !row.planted.empty());
  }
}

TEST(ModelsE2eTest, ALinkOrFifoAtItsPathsIsNeverFollowedNorWaitedOn) {
  const Downloads downloads("f.bin", std::string(100'000, 'x'));
  const std::string model = downloads.data("speech/whisper/ggml-base.bin");
  struct Row {
    std::string path;  // where something is planted
    std::string what;  // "dangling", "fifo" or "link" (to a file of the user's)
    std::string err;
  };
  const std::string notFile = " is not a regular file; remove it.\n",
                    link = " is a link, not a file of the downloader; remove it.\n";
  const std::vector<Row> rows = {
      {model, "dangling",
       model + " is a link to a file that is not there; remove the link or mount the disk it points to.\n"},
      {model, "fifo", model + " is not a readable model file; remove it.\n"},
      {model + ".part", "fifo", model + ".part" + notFile},
      {model + ".part", "link", model + ".part" + link},
      {model + ".lock", "fifo", model + ".lock" + notFile},
      {model + ".lock", "dangling", model + ".lock" + link},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " " + row.what);
    downloads.reset();
    std::filesystem::create_directories(downloads.data("speech/whisper"));
    const std::string users = downloads.data("users-file");
    writeFile(users, "mine");
    if (row.what == "fifo") ::mkfifo(row.path.c_str(), 0644);
    if (row.what != "fifo") std::filesystem::create_symlink(row.what == "link" ? users : users + ".gone", row.path);
    ProcessOptions options = downloads.options("ok");
    options.timeout = 20s;
    EXPECT_NE(runProcess({kModels, "status"}, options).out.find(R"("installed":[],)"), std::string::npos);
    const ProcessResult r = runProcess({kModels, "install", "base"}, options);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(readFile(users), "mine");
    EXPECT_FALSE(std::filesystem::exists(users + ".gone"));
  }
}

TEST(ModelsE2eTest, TheSwitchFailsClosedAndTheAdministratorsOffWins) {
  const Downloads downloads("f.bin", "x");
  struct Row {
    std::string user, system, env;
    bool on;
    std::string err = "";
  };
  const std::string user = downloads.file("config/tavrin/models.conf");
  const std::vector<Row> rows = {
      {"downloads = on\n", "", "", true},
      {"downloads = off  # managed\n", "", "", false},
      {"Downloads = Off\n", "", "", false},
      {"downloads: off\n", "", "", false},
      {"downloads = disabled\n", "", "", false},
      {std::string("\xEF\xBB\xBF") + "downloads = off\r\n", "", "", false},
      {"downloads = 'off' ; by hand\n", "", "", false},
      {"downloads = nope\n", "", "", false,
       "Model downloads are off: " + user + " sets them to \"nope\", which is neither on nor off.\n"},
      {"", "", "sometimes", false,
       "Model downloads are off: TAVRIN_MODEL_DOWNLOADS sets them to \"sometimes\", which is neither on nor off.\n"},
      {"downloads = on\n", "downloads = off\n", "", false},
      {"", "downloads = off\n", "on", false},
      {"downloads = off\n", "downloads = on\n", "", false},
  };
  std::filesystem::create_directories(downloads.file("config/tavrin"));
  std::filesystem::create_directories(downloads.file("etc/tavrin"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.user + "|" + row.system + "|" + row.env);
    ProcessOptions options = downloads.options("ok");
    writeFile(user, row.user);
    writeFile(downloads.file("etc/tavrin/models.conf"), row.system);
    if (!row.env.empty()) options.setEnv["TAVRIN_MODEL_DOWNLOADS"] = row.env;
    const ProcessResult r = runProcess({kModels, "status"}, options);
    EXPECT_EQ(r.out.rfind(row.on ? R"({"downloads":true,)" : R"({"downloads":false,)", 0), 0u) << r.out;
    EXPECT_EQ(r.err, row.err);
  }
  // Without HOME, the home in the password database.
  ProcessOptions options = downloads.options("ok");
  options.setEnv.erase("XDG_DATA_HOME");
  options.unsetEnv.insert(options.unsetEnv.end(), {"HOME", "XDG_DATA_HOME"});
  EXPECT_NE(runProcess({kModels, "status"}, options)
                .out.find(R"("speechDirectory":")" + std::string(::getpwuid(::getuid())->pw_dir) +
                          "/.local/share/tavrin/speech/whisper\""),
            std::string::npos);
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
  // verify reads the model back: intact, then with one bit changed.
  const std::string model = downloads.data("speech/whisper/ggml-base.bin");
  EXPECT_EQ(runProcess({kModels, "verify"}, downloads.options("ok")).out,
            R"({"model":"base","intact":true,"path":")" + model + "\"}\n");
  writeFile(model, "y" + readFile(model).substr(1));
  const ProcessResult damaged = runProcess({kModels, "verify", "base"}, downloads.options("ok"));
  EXPECT_EQ(damaged.out, R"({"model":"base","intact":false,"problem":")" + model +
                             R"( is damaged: its checksum does not match; remove it and install base again."})"
                             "\n");
  EXPECT_EQ(damaged.err + std::to_string(damaged.exitStatus), "base failed its check.\n1");
  EXPECT_EQ(runProcess({kModels, "remove", "base"}, downloads.options("ok")).exitStatus, 0);
  EXPECT_EQ(runProcess({kModels, "remove", "base"}, downloads.options("ok")).err, "base is not installed.\n");
  // A model installed for every user ($XDG_DATA_DIRS) is installed: nothing is fetched.
  const std::string shared = downloads.file("shared/tavrin/speech/whisper/ggml-base.bin");
  std::filesystem::create_directories(downloads.file("shared/tavrin/speech/whisper"));
  writeFile(shared, std::string(2'000'000, 'x'));
  EXPECT_EQ(runProcess({kModels, "status"}, downloads.options("ok")).out,
            status + R"("installed":["base"],"downloading":[]})" + "\n");
  EXPECT_EQ(runProcess({kModels, "install", "base"}, downloads.options("ok")).out,
            R"({"type":"installed","model":"base","path":")" + shared + "\"}\n");
  EXPECT_EQ(downloads.log(), "/slow/f.bin -\n");
  std::filesystem::remove(shared);
  // A byte changed in the .part behind the writer fails the checksum: what is checked is the file, not what came.
  downloads.reset();
  BackgroundProcess paused({kModels, "install", "base"}, downloads.options("pause"));
  waitForPart(1'000'000);
  writeFile(part, "y" + readFile(part).substr(1));
  writeFile(downloads.file("served/f.bin.go"), "");
  EXPECT_EQ(paused.wait().err, "Could not download ggml-base.bin: its checksum does not match.\n");

  // A stop signal keeps the part; Ctrl-C ends with the shell's status for it.
  for (const auto& [signal, exitStatus] : {std::pair{SIGTERM, 1}, std::pair{SIGINT, 130}}) {
    downloads.reset();
    BackgroundProcess stalled({kModels, "install", "base"}, downloads.options("stall"));
    waitForPart(1'000'000);
    ::kill(stalled.pid(), signal);
    const ProcessResult stopped = stalled.wait(10s);
    EXPECT_EQ(stopped.exitStatus, exitStatus);
    EXPECT_EQ(stopped.err, "The download of ggml-base.bin was stopped; it resumes when started again.\n");
    EXPECT_EQ(std::filesystem::file_size(part), 1'000'000u);
    EXPECT_FALSE(std::filesystem::exists(downloads.data("speech/whisper/ggml-base.bin")));
  }
}

// One JSON line per catalogue model off a terminal, with its state; fetched by itself: notes, base and the one English
// model this machine gets.
TEST(ModelsE2eTest, ListGivesEachModelItsStateAndMarksWhatIsFetchedByItself) {
  const Downloads downloads("ggml-base.bin", "x");
  std::filesystem::create_directories(downloads.data("speech/whisper"));
  writeFile(downloads.data("speech/whisper/ggml-base.bin"), "x");
  const ProcessResult r = runProcess({kModels, "list"}, downloads.options("plain"));
  EXPECT_EQ(r.err + std::to_string(r.exitStatus), "0");
  const std::string base = R"j({"name":"base","kind":"speech","file":"ggml-base.bin","bytes":1,"state":"installed",)j"
                           R"j("licence":"MIT","serves":"transcription in every language Whisper knows (about 99)",)j"
                           R"j("default":true,"address":")j" +
                           downloads.address("plain") + "\"}\n";
  EXPECT_NE(r.out.find(base), std::string::npos) << r.out;
  const std::string line = R"j(\{"name":"([a-z.-]+)","kind":"(speech|notes)","file":"[^"]+","bytes":[0-9]+,)j"
                           R"j("state":"(not installed|installed)","licence":"[^"]+","serves":"[^"]+",)j"
                           R"j("default":(true|false),"address":"([^"]+)"\}\n)j";
  const std::regex model(line);
  const std::string loopback = "https://127.0.0.1:";  // every address is the test catalogue's
  std::string fetchedByItself;
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), model), end; it != end; ++it) {
    if ((*it)[4] == "true") fetchedByItself += (*it)[1].str() + " ";
    const std::string address = (*it)[5];
    EXPECT_TRUE(address.starts_with(loopback) &&
                std::regex_match(address.substr(loopback.size()), std::regex("[0-9]+/.+")))
        << address;
  }
  EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + line + "){8}"))) << r.out;
  EXPECT_TRUE(std::regex_match(fetchedByItself, std::regex(R"((tiny\.en base|base\.en base|base small\.en) notes )")))
      << fetchedByItself;
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
  // Codes desktops use for languages the model serves under another.
  for (const auto& [asked, locale] : std::vector<std::pair<std::string, std::string>>{
           {"nb-NO", "no_NO"}, {"fil-PH", "tl_PH"}, {"iw-IL", "he_IL"}, {"in-ID", "id_ID"}, {"ji", "yi"}}) {
    EXPECT_EQ(speech({"status", asked}).out, R"({"available":true,"status":"installed","locale":")" + locale + "\"}\n");
  }
  ProcessOptions norwegian = downloads.options("ok");
  norwegian.setEnv["LANG"] = "nb_NO.UTF-8";
  norwegian.unsetEnv.insert(norwegian.unsetEnv.end(), {"LANGUAGE", "LC_ALL", "LC_MESSAGES"});
  EXPECT_EQ(runProcess({kSpeech, "preferred-languages"}, norwegian).out, "[\"nb\"]\n");
  EXPECT_EQ(downloads.log(), "/ok/ggml-base.bin -\n");
  // A damaged model is one line, before anything is written.
  const std::string model = downloads.data("speech/whisper/ggml-base.bin");
  writeFile(model, readFile(model).substr(0, 60));
  const ProcessResult damaged = speech({"transcribe", scratch.file("silence.raw"), "de-DE"});
  EXPECT_EQ(damaged.out + damaged.err, "The Whisper model " + model + " is damaged: it ends early.\n");
  std::filesystem::remove(model);
  ::mkfifo(model.c_str(), 0644);  // never opened, so never waited on
  EXPECT_EQ(speech({"status", "de-DE"}).out, statusOf("supported"));
}

TEST(ModelsE2eTest, TheNotesModelArrivesByItselfUnlessDownloadsAreOff) {
  TempDir scratch;
  llm::testmodel::writeModel(scratch.file("m.gguf"), llm::testmodel::tinyShape());
  const Downloads downloads("m.gguf", readFile(scratch.file("m.gguf")));
  ProcessOptions options = downloads.options("404");
  options.setEnv["TAVRIN_MODEL_DOWNLOADS"] = "off";
  const std::string unavailable = R"({"available":false,"status":"unavailable","reason":")",
                    notEnabled =
                        unavailable + "Enable Apple Intelligence in System Settings to generate summaries.\"}\n",
                    downloading = unavailable + "The on-device model is still downloading. Try again shortly.\"}\n",
                    available = "{\"available\":true,\"status\":\"available\"}\n";
  EXPECT_EQ(runProcess({kNotes, "status"}, options).out, notEnabled);
  EXPECT_EQ(downloads.log(), "");
  options.setEnv.erase("TAVRIN_MODEL_DOWNLOADS");
  const auto statusUntil = [&](const std::string& wanted) {
    std::string status;
    for (int i = 0; i < 600 && status != wanted; ++i) {
      std::this_thread::sleep_for(100ms);
      status = runProcess({kNotes, "status"}, options).out;
    }
    return status;
  };
  // Offline: "still downloading" only until the one attempt has failed.
  EXPECT_EQ(runProcess({kNotes, "status"}, options).out, downloading);
  EXPECT_EQ(statusUntil(notEnabled), notEnabled);
  std::filesystem::remove_all(downloads.data("models"));  // as if the wait before another attempt were over
  downloads.options("hub");
  EXPECT_EQ(runProcess({kNotes, "status"}, options).out, downloading);
  EXPECT_EQ(statusUntil(available), available);
  // One download, by one detached process, whatever the runs meanwhile.
  EXPECT_EQ(downloads.log(), "/404/m.gguf -\n/hub/m.gguf -\n/ok/m.gguf -\n");
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
