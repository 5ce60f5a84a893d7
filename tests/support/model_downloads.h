// The model download tests' server: tests/support/model-server over files of the test's own, and a catalogue and data
// home pointing the programs at it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/subprocess.h"

namespace tavrin::testing {

// The server over <dir>/served, a catalogue whose "base", English Whisper models, "notes" and "notes-small" come from
// /<fault>/<file> on it, and a data home of their own.
class Downloads {
 public:
  explicit Downloads(const std::string& file, const std::string& bytes) : file_(file), bytes_(bytes) {
    std::filesystem::create_directories(dir_.file("served"));
    writeFile(dir_.file("served/" + file), bytes);
    sha1_ = runProcess({"/usr/bin/sha1sum", dir_.file("served/" + file)}).out.substr(0, 40);
    server_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{TAVRIN_MODEL_SERVER, dir_.file("served"), dir_.file("log")});
    for (int i = 0; i < 200 && server_->outputSoFar().find('\n') == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string first = server_->outputSoFar();
    port_ = first.substr(0, first.find(' '));
    ca_ = first.substr(first.find(' ') + 1, first.find('\n') - first.find(' ') - 1);
  }
  std::string address(const std::string& fault) const {
    return "https://127.0.0.1:" + port_ + "/" + fault + "/" + file_;
  }
  ProcessOptions options(const std::string& fault) const {
    std::string catalogue = "ca " + ca_;
    for (const char* name : {"notes", "notes-small"}) {
      catalogue += "\nmodel " + std::string(name) + " " + address(fault) + " hub " + std::to_string(bytes_.size());
    }
    // Every Whisper model a machine may be given: English ones of any size, and base.
    for (const char* name : {"base", "tiny.en", "base.en", "small.en"}) {
      catalogue += "\nmodel " + std::string(name) + " " + address(fault) + " sha1:" + sha1_ + " " +
                   std::to_string(bytes_.size());
    }
    writeFile(dir_.file("catalogue"), catalogue + "\n");
    return {{{"TAVRIN_TEST_MODEL_CATALOGUE", dir_.file("catalogue")},
             {"XDG_DATA_HOME", dir_.file("data")},
             {"XDG_CONFIG_HOME", dir_.file("config")},
             {"XDG_CACHE_HOME", dir_.file("cache")},
             {"XDG_CONFIG_DIRS", dir_.file("etc")},
             {"XDG_DATA_DIRS", dir_.file("shared")}},
            {"TAVRIN_MODEL_DOWNLOADS"},
            {},
            std::chrono::seconds(120)};
  }
  std::string data(const std::string& path) const { return dir_.file("data/tavrin/" + path); }
  // Beside the data home: config/ ($XDG_CONFIG_HOME), etc/ ($XDG_CONFIG_DIRS), shared/ ($XDG_DATA_DIRS).
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string log() const { return std::filesystem::exists(dir_.file("log")) ? readFile(dir_.file("log")) : ""; }
  void reset() const { std::filesystem::remove_all(dir_.file("data")), std::filesystem::remove(dir_.file("log")); }

 private:
  TempDir dir_;
  std::string file_, bytes_, sha1_, port_, ca_;
  std::unique_ptr<BackgroundProcess> server_;
};

}  // namespace tavrin::testing
