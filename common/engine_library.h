// Loading a privately built ggml engine (llama.cpp, whisper.cpp) at run
// time, so a helper starts, and reports, on machines where it can't run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tavrin {

// Whether this CPU has the instructions the private ggml builds assume
// (x86-64: AVX2, FMA, F16C, BMI2). Asked before loading one: its code would
// die on an illegal instruction.
bool cpuRunsGgmlBaseline();

// Where an engine library is looked for: `<program>/../lib/<subdir>` (the
// installed package), then `builtDir` (the build's own prefix; empty in a
// package build, whose programs use only their own copies).
std::vector<std::string> engineLibraryDirs(const std::string& subdir, const std::string& builtDir);

struct OpenedEngineLibrary {
  void* handle = nullptr;  // never unloaded; null when nothing opened
  std::string failure;     // why nothing opened: `notInstalled` or the last loader error
};

// Opens `file` from the first of `dirs` that has it and in which `resolve`
// (given the dlopen handle; returns the first missing function's name, or
// "") finds every function. Sets GGML_NO_BACKTRACE first: without it a ggml
// failure attaches a debugger that prints on standard output.
OpenedEngineLibrary openEngineLibrary(const std::vector<std::string>& dirs, const std::string& file,
                                      const std::string& notInstalled,
                                      const std::function<std::string(void*)>& resolve);

}  // namespace tavrin
