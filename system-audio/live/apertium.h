// Translation with Apertium, the rule-based translator Debian packages.
//
// A pair is installed when its mode file (<modes dir>/<from>-<to>.mode, the
// shell pipeline the stock `apertium` script runs) exists. A pair that Debian
// packages but that is not installed here is "supported"; the catalog below
// names the package to install. Anything else is unsupported.
//
// Each open pair runs one persistent pipeline: the mode's stages in
// null-flush mode (-z: a NUL byte ends a unit of work and makes every stage
// flush), each stage unbuffered (stdbuf -o0), because some stages buffer
// their output despite null-flush. A line costs one round trip through
// already loaded transducers instead of a process start.
//
// A line goes in as the stock `apertium` sends it: followed by a period and
// a superblank holding a line break, which end its last word and sentence,
// so that a stage that holds a word back (it could start a multi-word unit)
// gives it up before the flush, and sentence-final rules apply as they do
// for the stock translator.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "system-audio/live/translation.h"

namespace tavrin::system_audio {

// One direction that a Debian package provides, in Apertium's codes.
struct ApertiumPackagedPair {
  const char* from;
  const char* to;
  const char* package;
};

// The pairs Debian 12 packages (main archive).
const std::vector<ApertiumPackagedPair>& debianApertiumPairs();

// The codes Apertium may use for a language code, most specific first: the
// ISO 639-3 code, the code itself, and Apertium's own name where it differs
// ("ms" → "msa", "zlm", "ms").
std::vector<std::string> apertiumCodes(const std::string& languageCode);

// Apertium's stream format reserves \ [ ] ^ $ / @ < > { } * # + ~; these are
// escaped with a backslash so that plain text passes through as text. NUL
// bytes (the flush mark) are dropped.
std::string escapeApertium(std::string_view text);
// Removes the escaping backslashes of the pipeline's output.
std::string unescapeApertium(std::string_view text);

// The text a line is translated from: the first letter in capitals, and for
// English (`english`) the pronoun "i" (alone or in "i'm", "i'll", ...) as
// "I"; the recogniser writes lower case, and Apertium leaves "i" unknown.
std::string prepareForTranslation(std::string_view line, bool english);
// The unit sent to the pipeline for a line.
std::string unitOfLine(std::string_view line, bool english);
// The translation in the pipeline's answer to unitOfLine(): without what
// the unit added, unescaped, tidied.
std::string translationOfAnswer(std::string_view answer);
// A translation as shown: runs of white space as one space, none at either
// end.
std::string tidyTranslation(std::string_view text);

// The shell command that runs a mode's pipeline in null-flush mode with
// every stage unbuffered. `modeText` is the content of a mode file; its $1
// (the generator's mode) becomes -n (no marks on unknown words, like
// `apertium -u`) and $2 (extra tagger options) becomes nothing.
std::string nullFlushPipeline(std::string_view modeText);

// One running pipeline: a process group fed on a socket and read on a pipe.
// Not thread-safe: one caller at a time.
class ApertiumPipeline {
 public:
  // Starts `/bin/sh -c command`. Throws TranslationError.
  explicit ApertiumPipeline(const std::string& command);
  ~ApertiumPipeline();  // closes its input, waits briefly, then kills the group
  ApertiumPipeline(const ApertiumPipeline&) = delete;
  ApertiumPipeline& operator=(const ApertiumPipeline&) = delete;

  // Sends `unit` followed by NUL and returns everything up to the answering
  // NUL. Sending and reading go on together, so a unit larger than the
  // pipes' buffers cannot block; the whole exchange is bounded by `timeout`.
  // Throws TranslationError when the pipeline ends or times out; the
  // pipeline is unusable afterwards.
  std::string roundTrip(std::string_view unit, std::chrono::milliseconds timeout);

 private:
  void shutDown();
  int pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
};

class ApertiumTranslationService final : public TranslationService {
 public:
  explicit ApertiumTranslationService(std::string modesDirectory = "/usr/share/apertium/modes",
                                      std::vector<ApertiumPackagedPair> catalog = debianApertiumPairs(),
                                      std::chrono::milliseconds lineTimeout = std::chrono::seconds(20));

  TranslationAvailability status(const std::optional<std::string>& source,
                                 const std::optional<std::string>& target) override;
  // The translator of an installed pair. Its pipeline starts here and is
  // restarted by the next line after it failed.
  std::unique_ptr<Translator> open(const std::string& source, const std::string& target) override;

  // The mode file of an installed pair, if any.
  std::optional<std::string> modeFile(const std::string& source, const std::string& target) const;
  // The Debian package that provides a supported pair, if any.
  std::optional<std::string> packageFor(const std::string& source, const std::string& target) const;

 private:
  std::string modesDirectory_;
  std::vector<ApertiumPackagedPair> catalog_;
  std::chrono::milliseconds lineTimeout_;
};

}  // namespace tavrin::system_audio
