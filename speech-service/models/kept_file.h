// Small files the recognizer keeps between runs under the user's cache
// directory (a source's cepstral mean, the list of models that loaded).
//
// Anyone who can write that directory can put anything there, so a kept
// file is only read when it is what this program writes: a regular file,
// opened without following a symbolic link and without blocking (a FIFO or a
// device is refused before any read), no larger than its cap. Callers check
// its content (syntax and value ranges) themselves and treat a refused file
// as absent. Writing replaces the file as a whole: the text goes to a new
// file beside it, which is renamed over it, so a reader never sees half a
// file and a link placed at the path is replaced, not followed.
//
// Thread-safe: no state; concurrent writers each leave a whole file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tavrin::speech {

// The content of `path`, or nothing when it is absent, unreadable, not a
// regular file, a symbolic link, or larger than `maxBytes`.
std::optional<std::string> readKeptFile(const std::string& path, size_t maxBytes);

// Replaces `path` with `text`, creating its directory (owner-only) when
// missing; the file is readable by its owner only. Returns false on
// failure, which leaves the old file.
bool writeKeptFile(const std::string& path, const std::string& text);

}  // namespace tavrin::speech
