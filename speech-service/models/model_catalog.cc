#include "speech-service/models/model_catalog.h"

#include <sys/stat.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/home.h"
#include "common/locale.h"

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
  return isFile(dir + "/mixture_weights") || isFile(dir + "/sendump");
}

bool isComplete(const ModelFiles& files) {
  return isCompleteAcousticModel(files.acousticModel) && isFile(files.languageModel) && isFile(files.dictionary);
}

// The first `n` bytes of a file (fewer when it is shorter).
std::string head(const std::string& path, size_t n) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(n, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
  return bytes;
}

// An acoustic parameter file: "s3" header lines up to "endhdr", then the
// byte-order mark 0x11223344 in either order, then data.
bool isParameterFile(const std::string& path) {
  const std::string bytes = head(path, 4096);
  const size_t end = bytes.find("endhdr\n");
  if (bytes.rfind("s3\n", 0) != 0 || end == std::string::npos || bytes.size() < end + 7 + 8) return false;
  uint32_t mark = 0;
  std::memcpy(&mark, bytes.data() + end + 7, 4);
  return mark == 0x11223344u || mark == 0x44332211u;
}

// The first file of a complete model that is not what it should be.
std::optional<std::string> firstDamagedFile(const ModelFiles& files) {
  const std::string& am = files.acousticModel;
  const std::string mdef = head(am + "/mdef", 4);
  if (mdef != "BMDF" && mdef.rfind("0.3", 0) != 0) return am + "/mdef";
  std::vector<std::string> parameters = {am + "/means", am + "/variances", am + "/transition_matrices"};
  parameters.push_back(isFile(am + "/mixture_weights") ? am + "/mixture_weights" : am + "/sendump");
  for (const std::string& path : parameters) {
    // sendump has a header of its own (a length-prefixed text).
    if (path.ends_with("/sendump") ? head(path, 8).size() < 8 : !isParameterFile(path)) return path;
  }
  const std::string lm = head(files.languageModel, 4096);
  if (lm.rfind("Trie Language Model", 0) != 0 && lm.find("Darpa Trie LM") != 4 &&
      lm.find("\\data\\") == std::string::npos) {
    return files.languageModel;
  }
  const std::string dict = head(files.dictionary, 256);
  const size_t space = dict.find_first_of(" \t");
  if (space == std::string::npos || space == 0 || dict.find('\n') < space) return files.dictionary;
  return std::nullopt;
}

constexpr const char* kDebianEnglishDir = "en-us";

}  // namespace

ModelSearchPaths ModelSearchPaths::fromProcess() {
  ModelSearchPaths paths;
  paths.dataHome = xdgHome("XDG_DATA_HOME", ".local/share");
  paths.cacheHome = xdgHome("XDG_CACHE_HOME", ".cache");
  paths.dataDirs = xdgDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
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
  const LocaleParts wanted = localeParts(identifier);
  if (wanted.language.empty()) return std::nullopt;
  for (const std::string& known : knownLocales()) {
    const LocaleParts parts = localeParts(known);
    if (parts.language == wanted.language && parts.region == wanted.region) return known;
  }
  for (const std::string& known : knownLocales()) {
    if (localeParts(known).language == wanted.language) return known;
  }
  return std::nullopt;
}

std::vector<std::string> ModelCatalog::localeDirectories(const std::string& locale) const {
  // Both spellings of the identifier: de_DE, and de-DE as supported-locales
  // prints it.
  std::string tag = locale;
  std::replace(tag.begin(), tag.end(), '_', '-');
  std::vector<std::string> bases;
  if (!paths_.dataHome.empty()) bases.push_back(paths_.dataHome);
  bases.insert(bases.end(), paths_.dataDirs.begin(), paths_.dataDirs.end());
  std::vector<std::string> dirs;
  for (const std::string& base : bases) {
    dirs.push_back(base + "/tavrin/speech/" + locale);
    dirs.push_back(base + "/tavrin/speech/" + tag);
  }
  return dirs;
}

// Every place a model of a known locale may be, in search order.
std::vector<ModelFiles> ModelCatalog::candidates(const std::string& locale) const {
  std::vector<ModelFiles> found;
  if (std::find(knownLocales().begin(), knownLocales().end(), locale) == knownLocales().end()) return found;
  if (locale == "en_US" && !paths_.debianModelRoot.empty()) {
    const std::string root = paths_.debianModelRoot + "/" + kDebianEnglishDir;
    found.push_back({root + "/en-us", root + "/en-us.lm.bin", root + "/cmudict-en-us.dict"});
  }
  for (const std::string& dir : localeDirectories(locale)) {
    found.push_back({dir + "/acoustic-model", dir + "/language-model.lm.bin", dir + "/dictionary.dict"});
  }
  return found;
}

std::optional<ModelFiles> ModelCatalog::installedModel(const std::string& locale) const {
  for (const ModelFiles& files : candidates(locale)) {
    if (isComplete(files) && !firstDamagedFile(files)) return files;
  }
  return std::nullopt;
}

std::optional<std::string> ModelCatalog::damage(const std::string& locale) const {
  for (const ModelFiles& files : candidates(locale)) {
    if (!isComplete(files)) continue;
    if (const std::optional<std::string> file = firstDamagedFile(files)) return *file + " is not a model file";
    return std::nullopt;
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
