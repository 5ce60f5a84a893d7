#include "speech-service/model_catalog.h"

#include <sys/stat.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <cstdlib>

namespace tavrin::speech {
namespace {

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isCompleteAcousticModel(const std::string& dir) {
  for (const char* name : {"mdef", "means", "variances", "transition_matrices"}) {
    if (!isFile(dir + "/" + name)) return false;
  }
  return true;
}

std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

// Language (lower case) and region (upper case) of a locale identifier, as
// ICU reads it after canonicalisation; empty when absent.
struct LocaleParts {
  std::string language;
  std::string region;
};

LocaleParts parse(const std::string& identifier) {
  LocaleParts parts;
  if (identifier.empty() || identifier.size() > 100) return parts;
  char canonical[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_canonicalize(identifier.c_str(), canonical, sizeof canonical, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return parts;
  char language[ULOC_LANG_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getLanguage(canonical, language, sizeof language, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return parts;
  char region[ULOC_COUNTRY_CAPACITY] = {};
  status = U_ZERO_ERROR;
  uloc_getCountry(canonical, region, sizeof region, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) region[0] = '\0';
  parts.language = language;
  parts.region = region;
  return parts;
}

constexpr const char* kDebianEnglishDir = "en-us";

}  // namespace

ModelSearchPaths ModelSearchPaths::fromProcess() {
  ModelSearchPaths paths;
  paths.dataHome = envOr("XDG_DATA_HOME", envOr("HOME", "") + "/.local/share");
  std::string dirs = envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t colon = std::min(dirs.find(':', start), dirs.size());
    if (colon > start) paths.dataDirs.push_back(dirs.substr(start, colon - start));
    start = colon + 1;
  }
  paths.debianModelRoot = "/usr/share/pocketsphinx/model";
  return paths;
}

ModelCatalog::ModelCatalog(ModelSearchPaths paths) : paths_(std::move(paths)) {}

const std::vector<std::string>& ModelCatalog::knownLocales() {
  // The languages CMU Sphinx publishes continuous models for.
  static const std::vector<std::string> locales = {"de_DE", "en_US", "es_ES", "fr_FR", "it_IT",
                                                   "nl_NL", "pt_BR", "ru_RU", "zh_CN"};
  return locales;
}

std::optional<std::string> ModelCatalog::match(const std::string& identifier) {
  const LocaleParts wanted = parse(identifier);
  if (wanted.language.empty()) return std::nullopt;
  for (const std::string& known : knownLocales()) {
    const LocaleParts parts = parse(known);
    if (parts.language == wanted.language && parts.region == wanted.region) return known;
  }
  for (const std::string& known : knownLocales()) {
    if (parse(known).language == wanted.language) return known;
  }
  return std::nullopt;
}

std::vector<std::string> ModelCatalog::localeDirectories(const std::string& locale) const {
  std::vector<std::string> dirs;
  if (!paths_.dataHome.empty()) dirs.push_back(paths_.dataHome + "/tavrin/speech/" + locale);
  for (const std::string& base : paths_.dataDirs) dirs.push_back(base + "/tavrin/speech/" + locale);
  return dirs;
}

std::optional<ModelFiles> ModelCatalog::installedModel(const std::string& locale) const {
  if (std::find(knownLocales().begin(), knownLocales().end(), locale) == knownLocales().end()) return std::nullopt;
  if (locale == "en_US" && !paths_.debianModelRoot.empty()) {
    const std::string root = paths_.debianModelRoot + "/" + kDebianEnglishDir;
    ModelFiles files{root + "/en-us", root + "/en-us.lm.bin", root + "/cmudict-en-us.dict"};
    if (isCompleteAcousticModel(files.acousticModel) && isFile(files.languageModel) && isFile(files.dictionary)) {
      return files;
    }
  }
  for (const std::string& dir : localeDirectories(locale)) {
    ModelFiles files{dir + "/acoustic-model", dir + "/language-model.lm.bin", dir + "/dictionary.dict"};
    if (isCompleteAcousticModel(files.acousticModel) && isFile(files.languageModel) && isFile(files.dictionary)) {
      return files;
    }
  }
  return std::nullopt;
}

AssetStatus ModelCatalog::status(const std::string& locale) const {
  if (std::find(knownLocales().begin(), knownLocales().end(), locale) == knownLocales().end()) {
    return AssetStatus::kUnsupported;
  }
  if (installedModel(locale)) return AssetStatus::kInstalled;
  for (const std::string& dir : localeDirectories(locale)) {
    if (isDirectory(dir)) return AssetStatus::kDownloading;
  }
  return AssetStatus::kSupported;
}

std::string ModelCatalog::installDirectory(const std::string& locale) const {
  return paths_.dataHome + "/tavrin/speech/" + locale + "/";
}

}  // namespace tavrin::speech
