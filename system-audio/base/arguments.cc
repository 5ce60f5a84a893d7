#include "system-audio/base/arguments.h"

#include <algorithm>
#include <limits>

#include "system-audio/base/errors.h"

namespace tavrin::system_audio {

std::optional<uint64_t> readUnsignedDecimal(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

std::string Arguments::command() const {
  return argv_.size() > 1 ? argv_[1] : "status";
}

std::optional<size_t> Arguments::valueIndex(const std::string& name) const {
  const auto it = std::find(argv_.begin(), argv_.end(), name);
  if (it == argv_.end() || it + 1 == argv_.end()) return std::nullopt;
  return static_cast<size_t>(it - argv_.begin()) + 1;
}

std::optional<std::string> Arguments::parseArgValue(const std::string& name) const {
  const auto index = valueIndex(name);
  if (!index || argv_[*index].empty()) return std::nullopt;
  return argv_[*index];
}

bool Arguments::hasFlag(const std::string& name) const {
  return std::find(argv_.begin(), argv_.end(), name) != argv_.end();
}

uint64_t Arguments::parseDuration() const {
  const auto value = parseArgValue("--seconds");
  const auto seconds = value ? readUnsignedDecimal(*value) : std::nullopt;
  if (!seconds) return 5;
  return std::clamp<uint64_t>(*seconds, 1, 30);
}

std::optional<uint64_t> Arguments::parseOptionalDuration() const {
  const auto value = parseArgValue("--seconds");
  const auto seconds = value ? readUnsignedDecimal(*value) : std::nullopt;
  if (!seconds) return std::nullopt;
  return std::max<uint64_t>(*seconds, 1);
}

std::string Arguments::parseOutputPath() const {
  const auto index = valueIndex("--output");
  if (!index) throw SystemAudioError::missingOutputPath();
  return argv_[*index];
}

}  // namespace tavrin::system_audio
