#include "models/tavrin_models.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "common/json.h"
#include "common/output.h"
#include "models/machine.h"

namespace tavrin::models {
namespace {

using Clock = std::chrono::steady_clock;

const char* stateName(InstallState state) {
  switch (state) {
    case InstallState::kInstalled: return "installed";
    case InstallState::kDownloading: return "downloading";
    case InstallState::kPartial: return "partial";
    case InstallState::kNotInstalled: return "not installed";
  }
  return "not installed";
}

void line(const std::string& text) {
  if (writeStdoutLine(text) != 0) throw std::runtime_error("Could not write to standard output.");
}

// The terminal's width in columns (standard error's), 80 when unknown.
size_t terminalColumns() {
  struct winsize size {};
  return ::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// Writes progress as a bar on standard error (terminal) or JSON events on
// standard output. The bar is one line shorter than the terminal, so it never
// wraps, and is redrawn in place; its rate is that of the last few seconds,
// so a stall shows as one.
class ProgressWriter final : public InstallObserver {
 public:
  ProgressWriter(const CatalogueModel& model, const ProgramContext& context) : model_(model), context_(context) {}

  void waiting() override {
    if (context_.terminal) {
      writeAll(2, model_.name + ": another process is downloading it; waiting.\n");
    } else {
      event("waiting").endObject();
      emit();
    }
  }

  void progress(uint64_t done, std::optional<uint64_t> total) override {
    done_ = done;
    total_ = total;
    const Clock::time_point now = Clock::now();
    // Only the bar shows a rate; JSON events keep no samples, so memory stays
    // flat however long the download.
    if (context_.terminal && (samples_.empty() || samples_.back().second != done)) samples_.emplace_back(now, done);
    const bool finished = total && done >= *total;
    if (!finished && now - last_ < std::chrono::milliseconds(context_.terminal ? 200 : 250)) return;
    last_ = now;
    if (!context_.terminal) {
      event("progress").field("bytes", done);
      if (total) json_.field("totalBytes", *total);
      json_.endObject();
      emit();
      return;
    }
    draw(now);
  }

  // Asked at least once a second, also while nothing arrives: the bar then
  // shows the rate falling.
  bool proceed() override {
    const Clock::time_point now = Clock::now();
    if (context_.terminal && drawn_ && now - last_ >= std::chrono::seconds(1)) {
      last_ = now;
      draw(now);
    }
    return context_.stop == nullptr || context_.stop->load() == 0;
  }

  void installed(const std::string& path) {
    if (context_.terminal) {
      abandon();
      line(model_.name + " is installed: " + path);
    } else {
      event("installed").field("path", path).endObject();
      emit();
    }
  }

  // Ends a bar left open, so the next line starts clean.
  void abandon() {
    if (drawn_) writeAll(2, "\n");
    drawn_ = false;
  }

 private:
  // Bytes a second over the last five seconds; drops the older samples.
  double rate(Clock::time_point now) {
    while (samples_.size() > 1 && now - samples_[1].first >= std::chrono::seconds(5)) samples_.pop_front();
    if (samples_.empty()) return 0;
    const double seconds = std::chrono::duration<double>(now - samples_.front().first).count();
    return seconds > 0.2 ? static_cast<double>(done_ - samples_.front().second) / seconds : 0;
  }

  void draw(Clock::time_point now) {
    const bool stalled = !samples_.empty() && now - samples_.back().first >= std::chrono::seconds(5);
    writeAll(2, progressLine(model_.name, done_, total_, rate(now), stalled, terminalColumns()));
    drawn_ = true;
  }

  JsonBuilder& event(const char* type) {
    json_ = JsonBuilder(SlashStyle::kPlain);
    return json_.beginObject().field("type", type).field("model", model_.name);
  }
  void emit() { writeStdoutLine(json_.take()); }

  const CatalogueModel& model_;
  const ProgramContext& context_;
  JsonBuilder json_{SlashStyle::kPlain};
  std::deque<std::pair<Clock::time_point, uint64_t>> samples_;
  uint64_t done_ = 0;
  std::optional<uint64_t> total_;
  Clock::time_point last_{};
  bool drawn_ = false;
};

}  // namespace

std::string progressLine(const std::string& name, uint64_t done, std::optional<uint64_t> total, double bytesPerSecond,
                         bool stalled, size_t columns) {
  char text[128];
  std::string bar;
  if (total && *total > 0) {
    const double share = std::min(1.0, static_cast<double>(done) / static_cast<double>(*total));
    const double left = bytesPerSecond > 0 ? static_cast<double>(*total - std::min(done, *total)) / bytesPerSecond : 0;
    char eta[32] = "";
    if (stalled) {
      std::snprintf(eta, sizeof eta, "  stalled");
    } else if (bytesPerSecond > 0) {
      std::snprintf(eta, sizeof eta, "  %d:%02d left", static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    }
    std::snprintf(text, sizeof text, " %3.0f%%  %s of %s  %.1f MB/s%s", share * 100, formatBytes(done).c_str(),
                  formatBytes(*total).c_str(), bytesPerSecond / 1e6, eta);
    // The bar takes what the name and the figures leave of the width.
    const size_t used = name.size() + 3 + std::strlen(text);
    if (columns >= used + 8) {
      const size_t width = std::min<size_t>(40, columns - used - 3);
      const auto filled = static_cast<size_t>(share * static_cast<double>(width));
      bar.append(1, '[').append(filled, '#').append(width - filled, '-').append(1, ']');
    }
  } else {
    std::snprintf(text, sizeof text, " %s  %.1f MB/s%s", formatBytes(done).c_str(), bytesPerSecond / 1e6,
                  stalled ? "  stalled" : "");
  }
  std::string shown = name + " " + bar + text;
  shown.resize(std::min(shown.size(), columns - 1));
  // Back to the line's start, and clear what a longer line left.
  return "\r" + shown + "\x1b[K";
}

namespace {

CatalogueModel named(const std::vector<std::string>& args) {
  if (args.size() < 2) throw std::runtime_error("Usage: tavrin-models " + args[0] + " NAME (see tavrin-models list).");
  const std::optional<CatalogueModel> model = findModel(args[1]);
  if (!model) throw std::runtime_error("Unknown model: " + args[1] + " (see tavrin-models list).");
  return *model;
}

void list(ProgramContext& context) {
  // English is fetched in the size this machine runs well (models/machine.h).
  const Machine machine = thisMachine();
  const std::string english = englishModelName(machine);
  const auto fetchedByItself = [&](const CatalogueModel& model) { return model.isDefault || model.name == english; };
  if (context.terminal) {
    std::printf("%-12s %-9s %-14s %-11s %s\n", "NAME", "SIZE", "STATE", "LICENCE", "SERVES");
  }
  for (const CatalogueModel& model : catalogue()) {
    const InstallState state = context.installer.state(model);
    if (context.terminal) {
      std::printf("%-12s %-9s %-14s %-11s %s%s\n", model.name.c_str(), formatBytes(model.approximateBytes).c_str(),
                  stateName(state), model.licence.c_str(), model.serves.c_str(), fetchedByItself(model) ? " *" : "");
      continue;
    }
    JsonBuilder json(SlashStyle::kPlain);
    json.beginObject().field("name", model.name).field("kind", model.kind == ModelKind::kSpeech ? "speech" : "notes");
    json.field("file", model.fileName).field("bytes", model.approximateBytes).field("state", stateName(state));
    json.field("licence", model.licence).field("serves", model.serves).field("default", fetchedByItself(model));
    json.field("address", model.address).endObject();
    line(json.take());
  }
  if (context.terminal) {
    std::printf(
        "* fetched by itself when needed (speech: %s for English, chosen for %d cores and %s of memory; "
        "%s for other languages) or the default (notes)\n",
        english.c_str(), machine.cores, formatBytes(machine.memoryBytes).c_str(),
        defaultModel(ModelKind::kSpeech).name.c_str());
  }
  std::fflush(stdout);
}

void status(ProgramContext& context) {
  const ModelPaths& paths = context.installer.paths();
  std::vector<std::string> installed, downloading;
  for (const CatalogueModel& model : catalogue()) {
    const InstallState state = context.installer.state(model);
    if (state == InstallState::kInstalled) installed.push_back(model.name);
    if (state == InstallState::kDownloading) downloading.push_back(model.name);
  }
  JsonBuilder json(SlashStyle::kPlain);
  json.beginObject().field("downloads", downloadsEnabled(paths));
  json.field("speechDirectory", paths.directory(ModelKind::kSpeech));
  json.field("notesDirectory", paths.directory(ModelKind::kNotes));
  json.field("installed", installed).field("downloading", downloading).endObject();
  line(json.take());
}

void install(const CatalogueModel& model, ProgramContext& context) {
  const ModelPaths& paths = context.installer.paths();
  if (context.installer.state(model) != InstallState::kInstalled && !downloadsEnabled(paths)) {
    throw std::runtime_error("Model downloads are turned off: put " + model.fileName + " (from " + model.address +
                             ") into " + paths.directory(model.kind) + " by hand.");
  }
  ProgressWriter progress(model, context);
  try {
    progress.installed(context.installer.install(model, progress));
  } catch (...) {
    progress.abandon();
    throw;
  }
}

std::atomic<int> stopRequested{0};

void onStopSignal(int signal) {
  stopRequested.store(signal);
}

constexpr const char* kUsage = "Usage: tavrin-models list | status | install NAME | remove NAME | verify [NAME]";

// Re-checks every installed model (or the one named); one line each.
void verify(const std::vector<std::string>& args, ProgramContext& context) {
  std::vector<CatalogueModel> models;
  if (args.size() >= 2) {
    models.push_back(named(args));
  } else {
    for (const CatalogueModel& model : catalogue()) {
      if (context.installer.state(model) == InstallState::kInstalled) models.push_back(model);
    }
  }
  const bool mayAsk = downloadsEnabled(context.installer.paths());
  std::vector<std::string> failed;
  for (const CatalogueModel& model : models) {
    std::string path, problem;
    try {
      path = context.installer.verify(model, mayAsk);
    } catch (const InstallError& e) {
      problem = e.what();
      failed.push_back(model.name);
    }
    if (context.terminal) {
      line(problem.empty() ? model.name + " is intact: " + path : problem);
      continue;
    }
    JsonBuilder json(SlashStyle::kPlain);
    json.beginObject().field("model", model.name).field("intact", problem.empty());
    if (problem.empty()) json.field("path", path);
    if (!problem.empty()) json.field("problem", problem);
    line(json.endObject().take());
  }
  if (failed.size() == 1) throw std::runtime_error(failed[0] + " failed its check.");
  if (failed.size() > 1) throw std::runtime_error(std::to_string(failed.size()) + " models failed their check.");
}

}  // namespace

void runModelsCommand(const std::vector<std::string>& args, ProgramContext& context) {
  const std::string command = args.empty() ? "" : args[0];
  if (command == "list") {
    list(context);
  } else if (command == "status") {
    status(context);
  } else if (command == "install") {
    install(named(args), context);
  } else if (command == "remove") {
    context.installer.remove(named(args));
    if (context.terminal) line(args[1] + " is removed.");
  } else if (command == "verify") {
    verify(args, context);
  } else if (command == "--help" || command == "-h" || command == "help") {
    line(kUsage);
    line("Lists, downloads, checks and removes the models of the Tavrin helpers; see tavrin-models(1).");
  } else {
    throw std::runtime_error(kUsage);
  }
}

int modelsMain(int argc, char** argv) {
  ignoreBrokenPipeSignal();
  struct sigaction action {};
  action.sa_handler = &onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  try {
    std::unique_ptr<HttpsClient> client = makeCurlClient();
    ModelInstaller installer(*client, ModelPaths::fromProcess());
    ProgramContext context{installer, ::isatty(1) == 1, &stopRequested};
    runModelsCommand(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), context);
    return 0;
  } catch (const std::exception& e) {
    writeFailureLine(e.what());
    // Ctrl-C ends it as the shell expects of an interrupted program.
    return stopRequested.load() == SIGINT ? 128 + SIGINT : 1;
  }
}

}  // namespace tavrin::models
