#include "apple-llm/crash_guard.h"

#include <cstring>

namespace tavrin::llm {

// Async-signal-safe: fixed texts, write(2) and _exit(2) only.
void reportCrash(int signal) {
  const char* line = "The language model failed: the process crashed.\n";
  switch (signal) {
    case SIGILL: line = "The language model failed: this CPU cannot run its instructions.\n"; break;
    case SIGABRT: line = "The language model failed: it aborted.\n"; break;
    default: break;
  }
  writeLineAndExit(line, std::strlen(line));
}

}  // namespace tavrin::llm
