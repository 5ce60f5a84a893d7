// The crash report of tavrin-apple-llm: a crash inside the language-model
// engine ends the run with one line naming the model (see
// common/crash_guard.h).
#pragma once

#include "common/crash_guard.h"

namespace tavrin::llm {

using tavrin::writeLineAndExit;

// The language model's crash lines, for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT. Async-signal-safe; ends the process.
void reportCrash(int signal);

// Installs reportCrash for the process; restores the previous handlers on
// destruction. One per process, in main.
class CrashGuard : public tavrin::CrashGuard {
 public:
  CrashGuard() : tavrin::CrashGuard(&reportCrash) {}
};

}  // namespace tavrin::llm
