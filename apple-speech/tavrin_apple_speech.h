// tavrin-apple-speech: dispatch of decode, status, transcribe,
// preferred-languages and supported-locales, their replies, and the failure
// path. main() only builds the real platform and calls run().
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apple-speech/language_detection.h"
#include "apple-speech/speech_output.h"
#include "speech-service/speech_service.h"

namespace tavrin::apple_speech {

// What the commands reach of the system. Tests build their own.
struct Platform {
  speech::SpeechService& service;
  SpeechOutput& out;
  SpeechOutput& err;
  LanguageRecognizer& languages;
  // Whether the on-device speech services exist on this system (always in
  // this build; tests pose as an older system).
  bool onDeviceServices = true;
  std::string currentLocale;                    // en_US
  std::vector<std::string> preferredLanguages;  // most preferred first
};

// Reply of `status`.
struct StatusResponse {
  bool available = false;
  std::string status;
  std::optional<std::string> locale;
  std::optional<std::string> reason;
  void encode(JsonBuilder& json) const;
};

StatusResponse status(const std::optional<std::string>& language, Platform& platform);
std::vector<std::string> preferredLanguages(Platform& platform);
std::vector<std::string> supportedLocales(Platform& platform);

// The user's preferred languages from the locale environment: the entries of
// LANGUAGE (colon-separated) when set, else the current locale.
std::vector<std::string> preferredLanguagesFromEnvironment();

// The name a service asset state is reported with.
const char* assetStatusName(speech::AssetStatus status);

class TavrinAppleSpeech {
 public:
  // Runs one command; `arguments` excludes the program path. On failure
  // writes exactly one line on `platform.err`. Returns the exit status.
  static int run(const std::vector<std::string>& arguments, Platform& platform);

  // The process entry.
  static int main(int argc, char** argv);
};

}  // namespace tavrin::apple_speech
