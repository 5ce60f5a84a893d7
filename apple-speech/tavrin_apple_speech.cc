#include "apple-speech/tavrin_apple_speech.h"

#include <unicode/uloc.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>

#include "apple-speech/arguments.h"
#include "apple-speech/helper_error.h"
#include "apple-speech/media_decoder.h"
#include "apple-speech/transcribe.h"
#include "common/crash_guard.h"
#include "common/locale.h"
#include "common/output.h"
#include "speech-service/routing/machine_speech.h"

namespace tavrin::apple_speech {
namespace {

// BCP 47 form of a locale identifier (en_US → en-US).
std::string bcp47(const std::string& identifier) {
  char tag[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_toLanguageTag(identifier.c_str(), tag, sizeof tag, false, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
    std::string fallback = identifier;
    std::replace(fallback.begin(), fallback.end(), '_', '-');
    return fallback;
  }
  return tag;
}

template <typename Record>
std::string encode(const Record& record) {
  JsonBuilder json = jsonBuilder();
  record.encode(json);
  return json.take();
}

std::string encodeStrings(const std::vector<std::string>& items) {
  JsonBuilder json = jsonBuilder();
  json.value(items);
  return json.take();
}

void dispatch(const std::vector<std::string>& args, Platform& platform) {
  if (args.empty()) throw HelperError::invalidArguments();
  const std::string& command = args[0];
  if (command == "decode") {
    if (args.size() < 2) throw HelperError::invalidArguments();
    decodeMedia(args[1], [&](std::string_view bytes) { return platform.out.write(bytes); });
    return;
  }
  if (!platform.onDeviceServices) throw HelperError::unsupportedOS();
  if (command == "status") {
    const std::optional<std::string> language = args.size() >= 2 ? std::optional(args[1]) : std::nullopt;
    printJSON(platform.out, encode(status(language, platform)));
  } else if (command == "transcribe") {
    TranscribeContext context{platform.service, platform.out, platform.languages, platform.currentLocale};
    transcribe(parseTranscribeArguments(args), context);
  } else if (command == "preferred-languages") {
    printJSON(platform.out, encodeStrings(preferredLanguages(platform)));
  } else if (command == "supported-locales") {
    printJSON(platform.out, encodeStrings(supportedLocales(platform)));
  } else {
    throw HelperError::invalidArguments();
  }
}

}  // namespace

void StatusResponse::encode(JsonBuilder& json) const {
  json.beginObject().field("available", available).field("status", status);
  json.optionalField("locale", locale).optionalField("reason", reason);
  json.endObject();
}

const char* assetStatusName(speech::AssetStatus status) {
  switch (status) {
    case speech::AssetStatus::kUnsupported: return "unsupported";
    case speech::AssetStatus::kSupported: return "supported";
    case speech::AssetStatus::kDownloading: return "downloading";
    case speech::AssetStatus::kInstalled: return "installed";
  }
  return "unsupported";
}

StatusResponse status(const std::optional<std::string>& language, Platform& platform) {
  if (!platform.service.isAvailable()) {
    return {false, "unsupported", std::nullopt, HelperError::description(HelperError::Kind::kUnavailable)};
  }
  const std::string requested = requestedLocale(language, platform.currentLocale);
  const std::optional<std::string> supported = platform.service.supportedLocale(requested);
  if (!supported) {
    return {false, "unsupported", std::nullopt,
            HelperError::description(HelperError::Kind::kUnsupportedLocale, requested)};
  }
  const speech::AssetStatus state = platform.service.assetStatus(*supported);
  StatusResponse reply{state != speech::AssetStatus::kUnsupported, assetStatusName(state), *supported, std::nullopt};
  if (state == speech::AssetStatus::kUnsupported) reply.reason = "Required Apple speech assets are unsupported.";
  return reply;
}

std::vector<std::string> preferredLanguages(Platform& platform) {
  std::set<std::string> seen;
  std::vector<std::string> result;
  for (const std::string& identifier : platform.preferredLanguages) {
    const std::optional<std::string> code = languageCode(identifier);
    if (!code || seen.count(*code) > 0) continue;
    seen.insert(*code);
    if (platform.service.supportedLocale(identifier)) result.push_back(*code);
  }
  return result;
}

std::vector<std::string> supportedLocales(Platform& platform) {
  std::vector<std::string> tags;
  for (const std::string& identifier : platform.service.supportedLocales()) tags.push_back(bcp47(identifier));
  std::sort(tags.begin(), tags.end());
  return tags;
}

std::vector<std::string> preferredLanguagesFromEnvironment() {
  std::vector<std::string> languages;
  const char* list = std::getenv("LANGUAGE");
  if (list != nullptr) {
    const std::string value = list;
    size_t start = 0;
    while (start <= value.size()) {
      const size_t colon = std::min(value.find(':', start), value.size());
      if (colon > start) languages.push_back(value.substr(start, colon - start));
      start = colon + 1;
    }
  }
  if (languages.empty()) languages.push_back(currentLocaleIdentifier());
  return languages;
}

int TavrinAppleSpeech::run(const std::vector<std::string>& arguments, Platform& platform) {
  try {
    dispatch(arguments, platform);
    return 0;
  } catch (const std::exception& e) {
    std::string line = failureLine(e.what());
    line.push_back('\n');
    platform.err.write(line);
    return 1;
  }
}

namespace {

class StandardError final : public SpeechOutput {
 public:
  int write(std::string_view bytes) override { return writeAll(2, bytes); }
};

// A crash inside an engine library (the speech engines, the media decoders)
// ends the run with one line. Async-signal-safe.
void reportCrash(int signal) {
  const char* line = "The speech engine failed: the process crashed.\n";
  if (signal == SIGILL) line = "The speech engine failed: this CPU cannot run its instructions.\n";
  if (signal == SIGABRT) line = "The speech engine failed: it aborted.\n";
  writeLineAndExit(line, std::strlen(line));
}

}  // namespace

int TavrinAppleSpeech::main(int argc, char** argv) {
  ignoreBrokenPipeSignal();
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CrashGuard crashGuard(&reportCrash);
  StandardOutput out;
  StandardError err;
  try {
    speech::MachineSpeech speech;
    Cld2LanguageRecognizer languages;
    Platform platform{
        speech.service(), out, err, languages, true, currentLocaleIdentifier(), preferredLanguagesFromEnvironment()};
    return run(arguments, platform);
  } catch (const std::exception& e) {
    writeFailureLine(e.what());
    return 1;
  }
}

}  // namespace tavrin::apple_speech
