// The tavrin-apple-speech program: exact standard output, standard error and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "models/catalogue.h"
#include "tests/support/speech_samples.h"

namespace tavrin::testing {
namespace {

const std::string kBin = TAVRIN_APPLE_SPEECH_BIN;

ProcessResult speech(std::vector<std::string> args, ProcessOptions options = {}) {
  args.insert(args.begin(), kBin);
  // The model cache stays in the test's own folder.
  static const TempDir home;
  options.setEnv.insert({{"XDG_DATA_HOME", home.file("data")}, {"XDG_CACHE_HOME", home.file("cache")}});
  return runProcess(args, options);
}

TEST(AppleSpeechE2eTest, EveryCommandsOutputErrorAndStatus) {
  TempDir dir;
  writeFile(dir.file("empty.raw"), "");
  writeFile(dir.file("six.raw"), "123456");
  writeFile(dir.file("silence.raw"), std::string(16000 * 4, '\0'));
  // The list of models that loaded is a FIFO: read without blocking, and replaced.
  std::filesystem::create_directories(dir.file("fifo-cache/tavrin/speech"));
  ASSERT_EQ(::mkfifo(dir.file("fifo-cache/tavrin/speech/loaded-models").c_str(), 0600), 0);
  const std::string silence =
      "{\"type\":\"duration\",\"ms\":1000}\n{\"type\":\"result\",\"text\":\"\",\"segments\":[]}";
  struct Row {
    std::vector<std::string> args;
    std::string out, err;  // standard output without its last line break
    std::map<std::string, std::string> setEnv = {};
  };
  const std::vector<Row> rows = {
      // Whatever bytes the arguments carry, a failure is one line of valid UTF-8.
      {{"Deco\nde"}, "", "Invalid helper arguments.\n"},
      {{"decode", "/nonexistent\n\xff.mp3"}, "", "Could not decode the media file: file not found\n"},
      {{"transcribe", "/nonexistent.raw", "en\xff"},
       "",
       "Apple SpeechTranscriber does not support locale en\xEF\xBF\xBD.\n"},
      {{"transcribe", "/nonexistent.raw", "en\nUS"}, "", "Apple SpeechTranscriber does not support locale en US.\n"},
      {{"status", "en-US"}, R"({"available":true,"status":"installed","locale":"en_US"})", ""},
      {{"status"}, R"({"available":true,"status":"supported","locale":"fr_CA"})", "", {{"LANG", "fr_CA.UTF-8"}}},
      {{"supported-locales", "ignored"},
       R"(["af","am","ar","as","az","ba","be","bg","bn","bo","br","bs","ca","cs","cy","da","de-DE","el","en-US","es-ES",)"
       R"("et","eu","fa","fi","fo","fr-FR","gl","gu","ha","haw","he","hi","hr","ht","hu","hy","id","is","it-IT","ja","jv",)"
       R"("ka","kk","km","kn","ko","la","lb","ln","lo","lt","lv","mg","mi","mk","ml","mn","mr","ms","mt","my","ne","nl-NL",)"
       R"("nn","no","oc","pa","pl","ps","pt-BR","ro","ru-RU","sa","sd","si","sk","sl","sn","so","sq","sr","su","sv","sw",)"
       R"("ta","te","tg","th","tk","tl","tr","tt","uk","ur","uz","vi","yi","yo","yue","zh-CN"])",
       ""},
      {{"preferred-languages"}, R"(["en","fr"])", "", {{"LANGUAGE", "en_GB:fr_FR:en_US:xx"}}},
      {{"transcribe", dir.file("missing.raw")}, "", "No such file or directory\n"},
      {{"transcribe", dir.file("empty.raw")}, "", "Invalid audio input.\n"},
      {{"transcribe", dir.file("six.raw"), "es-ES"},
       "",
       "The speech model for es_ES is not installed and model downloads are turned off: run `tavrin-models install "
       "base`, or put ggml-base.bin (from " +
           models::findModel("base")->address + ") into /srv/data/tavrin/speech/whisper.\n",
       {{"XDG_DATA_HOME", "/srv/data"}}},
      {{"transcribe", dir.file("silence.raw"), "--contextual-strings", "\n"}, silence, ""},
      {{"status", "en-US"},
       R"({"available":true,"status":"installed","locale":"en_US"})",
       "",
       {{"XDG_CACHE_HOME", dir.file("fifo-cache")}}},
      // The contextual strings' file goes to $TMPDIR.
      {{"transcribe", dir.file("silence.raw"), "--contextual-strings", "hello"},
       "{\"type\":\"duration\",\"ms\":1000}",
       "The contextual strings could not be prepared.\n",
       {{"TMPDIR", dir.file("missing")}}}};
  for (const Row& row : rows) {
    ProcessOptions options;
    options.setEnv = row.setEnv;
    options.unsetEnv = {"LC_ALL", "LC_MESSAGES"};
    const ProcessResult r = speech(row.args, options);
    EXPECT_EQ(r.out, row.out.empty() ? "" : row.out + "\n") << ::testing::PrintToString(row.args);
    EXPECT_EQ(r.err, row.err) << r.out;
    EXPECT_EQ(r.exitStatus, row.err.empty() ? 0 : 1) << r.err;
  }
}

TEST(AppleSpeechE2eTest, AModelThatDoesNotLoadIsNotInstalledAndFailsWithOneLine) {
  const std::string en = "/usr/share/pocketsphinx/model/en-us/";
  // Means cut short after their header: the files look whole but do not load. A garbled sendump crashes the engine
  // (in the child process that checks the model: nothing of it reaches our standard error).
  const std::pair<std::string, std::function<std::string(std::string)>> damages[] = {
      {"means", [](std::string bytes) { return bytes.substr(0, 4000); }},
      {"sendump",
       [](std::string bytes) {
         for (size_t i = 100; i < 100000; ++i) bytes[i] = char(bytes[i] ^ 0xa5);
         return bytes;
       }},
  };
  for (const auto& [file, damage] : damages) {
    TempDir dir;
    const std::string model = dir.file("home/tavrin/speech/de-DE/");
    std::filesystem::create_directories(model + "acoustic-model");
    for (const char* f : {"mdef", "variances", "transition_matrices", "sendump", "noisedict", "feat.params", "means"}) {
      if (f != file) std::filesystem::create_symlink(en + "en-us/" + f, model + "acoustic-model/" + f);
    }
    std::filesystem::create_symlink(en + "en-us.lm.bin", model + "language-model.lm.bin");
    std::filesystem::create_symlink(en + "cmudict-en-us.dict", model + "dictionary.dict");
    writeFile(model + "acoustic-model/" + file, damage(readFile(en + "en-us/" + file)));
    ProcessOptions options;
    options.setEnv = {{"XDG_DATA_HOME", dir.file("home")}, {"XDG_CACHE_HOME", dir.file("cache")}};
    ProcessResult r = speech({"status", "de"}, options);
    EXPECT_EQ(r.out + r.err, R"({"available":true,"status":"downloading","locale":"de_DE"})"
                             "\n")
        << file;
    r = speech({"transcribe", "/dev/null", "de"}, options);
    EXPECT_EQ(r.out + r.err, "The speech model for locale de_DE could not be loaded; install its files again into " +
                                 dir.file("home/tavrin/speech/de_DE/\n"));
    EXPECT_EQ(r.exitStatus, 1);
  }
}

}  // namespace
}  // namespace tavrin::testing
