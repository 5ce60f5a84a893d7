// Writing whole lines to standard output and standard error.
//
// Every reply, event and diagnostic of the helpers is one line. These
// functions write a line with as many write(2) calls as it takes: a partial
// write is continued from where it stopped and EINTR is retried, so a line is
// never torn by a signal or a full pipe. They take no lock; callers that write
// from several threads serialise themselves (see NDJSONWriter).
#pragma once

#include <string>
#include <string_view>

namespace tavrin {

// Writes all of `bytes` to `fd`. Returns 0 on success or the errno of the
// first write that failed (EPIPE when the reader has gone away, ENOSPC, ...).
int writeAll(int fd, std::string_view bytes);

// Writes `line` followed by one line feed, as one buffer. Returns as writeAll.
int writeLine(int fd, std::string_view line);

inline int writeStdoutLine(std::string_view line) {
  return writeLine(1, line);
}
inline int writeStderrLine(std::string_view line) {
  return writeLine(2, line);
}

// The one line a helper writes on standard error when it fails: `message`
// made valid UTF-8 (ill-formed bytes become U+FFFD) with every line break and
// other C0 control character except the tab replaced by a space, so an error
// text that carries argument bytes (a path, a command word, a language) can
// never break the one-line protocol. Without its line feed.
std::string failureLine(std::string_view message);

// Writes failureLine(message) and a line feed to standard error, as one write.
inline int writeFailureLine(std::string_view message) {
  return writeLine(2, failureLine(message));
}

// The platform's description of an errno value, e.g. "No space left on device".
std::string errnoDescription(int error);

// Makes a write to a closed pipe fail with EPIPE instead of killing the
// process, so a helper always ends with exit status 0 or 1. Called first thing
// in every main.
void ignoreBrokenPipeSignal();

// Puts /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed. A helper started with one of them closed would otherwise hand that
// number to the first file it opens (the recording, a model), and its error
// line or reply would land in that file. Call first thing in main, before
// anything opens a file or starts a thread. Best effort: a descriptor that
// cannot be filled stays closed.
void openClosedStandardDescriptors();

// When the first argument is "--version": writes "<program> <version>" on
// standard output and returns true (the caller then exits 0). Every program
// of the package answers it the same way, before anything else.
bool writeVersionIfAsked(int argc, char** argv, std::string_view program);

}  // namespace tavrin
