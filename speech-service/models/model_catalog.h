// Where speech models live and which locales we know models for.
//
// A locale is "supported" when it is in the catalog of known models and
// "installed" when all of its model files are present and look whole: the
// Debian package's en-US model, or a directory <data dir>/tavrin/speech/<locale>/
// (de_DE or de-DE) holding
//   acoustic-model/   (mdef, means, variances, transition_matrices and
//                      mixture_weights or sendump)
//   language-model.lm.bin
//   dictionary.dict
// where the data dirs are $XDG_DATA_HOME (default ~/.local/share) and then
// each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share); relative
// values of these variables are ignored, as the XDG rules say. A locale
// directory that exists but holds no whole model is an install in progress.
//
// "Look whole" is a check of each file's header (the acoustic parameter
// files' "s3" header and byte-order mark, the model definition's and the
// language model's signatures, a dictionary line); it does not read the
// data. The engine checks the rest when it loads the model.
//
// Locale identifiers are in the underscore form (en_US). Matching accepts
// either separator and any case, canonicalised with ICU.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "speech-service/speech_service.h"

namespace tavrin::speech {

// The files of one installed model.
struct ModelFiles {
  std::string acousticModel;  // directory
  std::string languageModel;
  std::string dictionary;
};

// The environment the model search reads; fromProcess() takes it from the
// process environment. Tests build their own.
struct ModelSearchPaths {
  // ~ is $HOME when absolute, else the password database's home; empty
  // when there is none, and then so are dataHome and cacheHome unless set.
  std::string dataHome;               // $XDG_DATA_HOME or ~/.local/share
  std::vector<std::string> dataDirs;  // $XDG_DATA_DIRS or the defaults
  std::string debianModelRoot;        // /usr/share/pocketsphinx/model
  std::string cacheHome;              // $XDG_CACHE_HOME or ~/.cache

  static ModelSearchPaths fromProcess();
};

class ModelCatalog {
 public:
  explicit ModelCatalog(ModelSearchPaths paths);

  // Every locale we know a model for, in identifier order.
  static const std::vector<std::string>& knownLocales();

  // The known locale for `identifier`: the same language and region, else
  // the first known locale of the same language; nothing otherwise.
  static std::optional<std::string> match(const std::string& identifier);

  AssetStatus status(const std::string& locale) const;
  // The model files of an installed locale, or nothing.
  std::optional<ModelFiles> installedModel(const std::string& locale) const;
  // Why the first locale directory that holds every model file is not an
  // installed model ("<path> is not a model file"); nothing when there is
  // no such directory.
  std::optional<std::string> damage(const std::string& locale) const;
  // Where a user installs the model of `locale`.
  std::string installDirectory(const std::string& locale) const;

 private:
  std::vector<std::string> localeDirectories(const std::string& locale) const;
  std::vector<ModelFiles> candidates(const std::string& locale) const;

  ModelSearchPaths paths_;
};

}  // namespace tavrin::speech
