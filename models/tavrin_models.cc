#include "models/tavrin_models.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

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

// Writes progress as a bar (terminal) or JSON events.
class ProgressWriter final : public InstallObserver {
 public:
  ProgressWriter(const CatalogueModel& model, const ProgramContext& context) : model_(model), context_(context) {}

  void waiting() override {
    if (context_.terminal) {
      writeAll(1, model_.name + ": another process is downloading it; waiting.\n");
    } else {
      event("waiting").endObject();
      emit();
    }
  }

  void progress(uint64_t done, std::optional<uint64_t> total) override {
    const Clock::time_point now = Clock::now();
    if (!started_) started_ = {now, done};
    const bool finished = total && done >= *total;
    if (!finished && now - last_ < std::chrono::milliseconds(context_.terminal ? 100 : 250)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - started_->first).count();
    const double rate = seconds > 0 ? static_cast<double>(done - started_->second) / seconds : 0;
    if (!context_.terminal) {
      event("progress").field("bytes", done);
      if (total) json_.field("totalBytes", *total);
      json_.endObject();
      emit();
      return;
    }
    std::string bar = "\r" + model_.name + " ";
    char text[96];
    if (total && *total > 0) {
      const double share = std::min(1.0, static_cast<double>(done) / static_cast<double>(*total));
      const int filled = static_cast<int>(share * 30);
      // Appended piece by piece: "[" + std::string(...) trips g++ 12's
      // -Wrestrict false positive in the hardened -O3 build.
      bar.append(1, '[').append(static_cast<size_t>(filled), '#').append(static_cast<size_t>(30 - filled), '-');
      bar.append(1, ']');
      const double left = rate > 0 ? static_cast<double>(*total - std::min(done, *total)) / rate : 0;
      std::snprintf(text, sizeof text, " %3.0f%%  %s of %s  %.1f MB/s  %d:%02d left ", share * 100,
                    formatBytes(done).c_str(), formatBytes(*total).c_str(), rate / 1e6, static_cast<int>(left) / 60,
                    static_cast<int>(left) % 60);
    } else {
      std::snprintf(text, sizeof text, " %s  %.1f MB/s ", formatBytes(done).c_str(), rate / 1e6);
    }
    writeAll(1, bar + text);
    drawn_ = true;
  }

  bool proceed() override { return context_.stop == nullptr || !context_.stop->load(); }

  void installed(const std::string& path) {
    if (context_.terminal) {
      if (drawn_) writeAll(1, "\n");
      line(model_.name + " is installed: " + path);
    } else {
      event("installed").field("path", path).endObject();
      emit();
    }
  }

  // Ends a bar left open by a failure, so the error line starts clean.
  void abandon() {
    if (drawn_) writeAll(1, "\n");
  }

 private:
  JsonBuilder& event(const char* type) {
    json_ = JsonBuilder(SlashStyle::kPlain);
    return json_.beginObject().field("type", type).field("model", model_.name);
  }
  void emit() { writeStdoutLine(json_.take()); }

  const CatalogueModel& model_;
  const ProgramContext& context_;
  JsonBuilder json_{SlashStyle::kPlain};
  std::optional<std::pair<Clock::time_point, uint64_t>> started_;
  Clock::time_point last_{};
  bool drawn_ = false;
};

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

std::atomic<bool> stopRequested{false};

void onStopSignal(int) {
  stopRequested.store(true);
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
  } else {
    throw std::runtime_error("Usage: tavrin-models list | status | install NAME | remove NAME");
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
    return 1;
  }
}

}  // namespace tavrin::models
