// The argument grammar of tavrin-system-audio: named options looked up
// anywhere in the argument list by exact, case-sensitive equality; the first
// occurrence wins; a value is the argument right after its option, taken
// verbatim even when it looks like an option.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::system_audio {

// Reads a whole string as an unsigned 64-bit decimal: digits, optionally
// after "+"; "-" only before digits that are all zero (giving 0). Anything
// else (other signs, fractions, blanks, the empty string, overflow) does not
// read.
std::optional<uint64_t> readUnsignedDecimal(const std::string& text);

class Arguments {
 public:
  // `argv` is the whole argument list, program path first.
  explicit Arguments(std::vector<std::string> argv) : argv_(std::move(argv)) {}

  // The command word; "status" when there is none.
  std::string command() const;

  // The argument after the first `name`; absent when `name` does not occur,
  // is last, or is followed by the empty string.
  std::optional<std::string> parseArgValue(const std::string& name) const;
  bool hasFlag(const std::string& name) const;

  // probe: --seconds clamped to 1..30; 5 when absent or unreadable.
  uint64_t parseDuration() const;
  // record: --seconds raised to at least 1; absent when absent or unreadable.
  std::optional<uint64_t> parseOptionalDuration() const;
  // record: the argument after the first --output, even when empty. Throws
  // SystemAudioError::missingOutputPath when there is none.
  std::string parseOutputPath() const;
  std::optional<std::string> parseStopFilePath() const { return parseArgValue("--stop-file"); }

 private:
  // Index of the argument after the first `name`, if there is one.
  std::optional<size_t> valueIndex(const std::string& name) const;

  std::vector<std::string> argv_;
};

}  // namespace tavrin::system_audio
