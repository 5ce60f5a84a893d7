// tavrin-models: lists, installs and removes the downloadable models.
//
//   tavrin-models list            the catalogue: size, state, licence, use
//   tavrin-models status          downloads on or off, folders, what is installed
//   tavrin-models install NAME    downloads and installs one model
//   tavrin-models remove NAME     deletes an installed (or partial) model
//   tavrin-models verify [NAME]   reads installed models back, checks their checksums
//
// On a terminal, `list` is a table and `install` draws a progress bar with
// rate and time left on standard error; otherwise every line is a JSON
// object (events for `install`: waiting, progress at most four times a
// second, installed), so a host can show progress. Failures: one line on
// standard error, status 1 (130 after Ctrl-C).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "models/installer.h"

namespace tavrin::models {

struct ProgramContext {
  ModelInstaller& installer;
  bool terminal = false;                   // standard output is a terminal
  const std::atomic<int>* stop = nullptr;  // the stop signal received, 0 for none
};

// One redraw of the progress bar: back to the line's start, the model's
// name, the bar, the share, the rate (bytes a second) and the time left,
// "stalled" instead when nothing came for a while; always shorter than the
// terminal's `columns`, so it never wraps, and never a new line.
std::string progressLine(const std::string& name, uint64_t done, std::optional<uint64_t> total, double bytesPerSecond,
                         bool stalled, size_t columns);

// Runs one command; writes its output on standard output; throws
// std::exception with the one line to report.
void runModelsCommand(const std::vector<std::string>& args, ProgramContext& context);

int modelsMain(int argc, char** argv);

}  // namespace tavrin::models
