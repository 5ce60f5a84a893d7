// Fakes for live-run tests: an event file, real captures on a fake server, translation.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system-audio/live/live_subtitles.h"
#include "system-audio/live/translation.h"
#include "system-audio/sources/mic_capture.h"
#include "system-audio/sources/system_audio_tap.h"
#include "tests/support/fake_sound_server.h"
#include "tests/support/samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {

// Events written to a file, read back as lines.
class EventFile {
 public:
  EventFile() : fd_(::open(dir_.file("events").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) {}
  ~EventFile() { ::close(fd_); }
  int fd() const { return fd_; }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    const std::string all = readFile(dir_.file("events"));
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
      out.push_back(all.substr(at, end - at));
    return out;
  }

 private:
  TempDir dir_;
  int fd_;
};

// The real tap and microphone on a fake server; records what the microphone was asked.
class ServerCaptures final : public system_audio::LiveCaptureFactory {
 public:
  FakeSoundServer server;
  std::optional<bool> micVoiceProcessing;

  std::unique_ptr<system_audio::AudioCapture> makeSystemCapture(std::function<void()> onDeviceLost) override {
    auto tap = std::make_unique<system_audio::SystemAudioTap>(server);
    tap->setOnDeviceLost(std::move(onDeviceLost));
    return tap;
  }
  std::unique_ptr<system_audio::AudioCapture> makeMicCapture(bool voiceProcessing) override {
    micVoiceProcessing = voiceProcessing;
    return std::make_unique<system_audio::MicCapture>(server, false, [](const std::string&) {});
  }
};

// Availability per pair; translators answer "<to>:<text>" or fail, and record what they were asked.
class FakeTranslationService final : public system_audio::TranslationService {
 public:
  using Pair = std::pair<std::string, std::string>;

  void setStatus(const std::string& from, const std::string& to, system_audio::TranslationAvailability a) {
    statuses_[{from, to}] = a;
  }
  // translate(text) throws TranslationError(description).
  void failOn(const std::string& text, const std::string& description) { failures_[text] = description; }

  system_audio::TranslationAvailability status(const std::optional<std::string>& from,
                                               const std::optional<std::string>& to) override {
    std::lock_guard lock(mutex_);
    const auto it = statuses_.find({from.value_or(""), to.value_or("")});
    return it == statuses_.end() ? system_audio::TranslationAvailability::kUnsupported : it->second;
  }
  std::unique_ptr<system_audio::Translator> open(const std::string&, const std::string& to) override {
    return std::make_unique<Translator>(*this, to);
  }

  std::vector<std::string> translated() const { return translated_; }  // every text asked, in order

 private:
  class Translator final : public system_audio::Translator {
   public:
    Translator(FakeTranslationService& service, std::string to) : service_(service), to_(std::move(to)) {}
    std::string translate(const std::string& text) override {
      std::lock_guard lock(service_.mutex_);
      service_.translated_.push_back(text);
      const auto f = service_.failures_.find(text);
      if (f != service_.failures_.end()) throw system_audio::TranslationError(f->second);
      return to_ + ":" + text;
    }

   private:
    FakeTranslationService& service_;
    std::string to_;
  };

  std::mutex mutex_;  // channels translate on their own threads
  std::map<Pair, system_audio::TranslationAvailability> statuses_;
  std::map<std::string, std::string> failures_;
  std::vector<std::string> translated_;
};

}  // namespace tavrin::testing
