#include "system-audio/live/apertium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tavrin::system_audio {

namespace {

constexpr std::string_view kReserved = "\\[]^$/@<>{}*#+~";
// How the stock translator's text deformatter ends a text: a period, so
// that every stage sees the sentence end, and a superblank holding the line
// break, which makes every stage give up the words it holds back.
constexpr std::string_view kLineEnd = ".[][\n]";

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Splits a mode's pipeline at "|" characters outside quotes.
std::vector<std::string> splitStages(std::string_view text) {
  std::vector<std::string> stages;
  std::string current;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      current.push_back(c);
      if (c == quote)
        quote = 0;
      else if (c == '\\' && quote == '"' && i + 1 < text.size())
        current.push_back(text[++i]);
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    if (c == '|') {
      stages.push_back(current);
      current.clear();
      continue;
    }
    current.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
  }
  stages.push_back(current);
  return stages;
}

std::string trim(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return std::string(s.substr(b, e - b + 1));
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
    s.replace(pos, from.size(), to);
  }
}

class ApertiumTranslator final : public Translator {
 public:
  ApertiumTranslator(std::string command, bool english, std::chrono::milliseconds timeout)
      : command_(std::move(command)), english_(english), timeout_(timeout) {
    try {
      ensureRunning();
    } catch (const TranslationError&) {
      // The first line tries again and reports the failure.
    }
  }

  std::string translate(const std::string& text) override {
    ensureRunning();
    try {
      return translationOfAnswer(pipeline_->roundTrip(unitOfLine(text, english_), timeout_));
    } catch (const TranslationError&) {
      pipeline_.reset();  // the next line starts a fresh pipeline
      throw;
    }
  }

 private:
  void ensureRunning() {
    if (pipeline_) return;
    auto pipeline = std::make_unique<ApertiumPipeline>(command_);
    // An empty unit loads every stage's data now rather than on the first
    // line, and proves the pipeline answers.
    pipeline->roundTrip("", timeout_);
    pipeline_ = std::move(pipeline);
  }

  std::string command_;
  bool english_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<ApertiumPipeline> pipeline_;
};

}  // namespace

const std::vector<ApertiumPackagedPair>& debianApertiumPairs() {
  static const std::vector<ApertiumPackagedPair> pairs = {
      {"afr", "nld", "apertium-afr-nld"}, {"nld", "afr", "apertium-afr-nld"}, {"arg", "cat", "apertium-arg-cat"},
      {"cat", "arg", "apertium-arg-cat"}, {"bel", "rus", "apertium-bel-rus"}, {"rus", "bel", "apertium-bel-rus"},
      {"br", "fr", "apertium-br-fr"},     {"cat", "ita", "apertium-cat-ita"}, {"ita", "cat", "apertium-cat-ita"},
      {"cat", "srd", "apertium-cat-srd"}, {"srd", "cat", "apertium-cat-srd"}, {"dan", "nor", "apertium-dan-nor"},
      {"nor", "dan", "apertium-dan-nor"}, {"en", "gl", "apertium-en-gl"},     {"gl", "en", "apertium-en-gl"},
      {"eng", "cat", "apertium-eng-cat"}, {"cat", "eng", "apertium-eng-cat"}, {"eng", "spa", "apertium-eng-spa"},
      {"spa", "eng", "apertium-eng-spa"}, {"ca", "eo", "apertium-eo-ca"},     {"en", "eo", "apertium-eo-en"},
      {"es", "eo", "apertium-eo-es"},     {"fr", "eo", "apertium-eo-fr"},     {"es", "gl", "apertium-es-gl"},
      {"gl", "es", "apertium-es-gl"},     {"es", "pt", "apertium-es-pt"},     {"pt", "es", "apertium-es-pt"},
      {"es", "ro", "apertium-es-ro"},     {"ro", "es", "apertium-es-ro"},     {"eu", "en", "apertium-eu-en"},
      {"eu", "es", "apertium-eu-es"},     {"fr", "es", "apertium-fr-es"},     {"es", "fr", "apertium-fr-es"},
      {"fra", "cat", "apertium-fra-cat"}, {"cat", "fra", "apertium-fra-cat"}, {"fra", "frp", "apertium-fra-frp"},
      {"frp", "fra", "apertium-fra-frp"}, {"hbs", "eng", "apertium-hbs-eng"}, {"hbs", "mkd", "apertium-hbs-mkd"},
      {"mkd", "hbs", "apertium-hbs-mkd"}, {"hbs", "slv", "apertium-hbs-slv"}, {"slv", "hbs", "apertium-hbs-slv"},
      {"ind", "zlm", "apertium-ind-zlm"}, {"zlm", "ind", "apertium-ind-zlm"}, {"isl", "eng", "apertium-isl-eng"},
      {"isl", "swe", "apertium-isl-swe"}, {"mkd", "bul", "apertium-mkd-bul"}, {"mkd", "eng", "apertium-mkd-eng"},
      {"nno", "nob", "apertium-nno-nob"}, {"nob", "nno", "apertium-nno-nob"}, {"oc", "ca", "apertium-oc-ca"},
      {"ca", "oc", "apertium-oc-ca"},     {"oc", "es", "apertium-oc-es"},     {"es", "oc", "apertium-oc-es"},
      {"oci", "fra", "apertium-oci-fra"}, {"fra", "oci", "apertium-oci-fra"}, {"pol", "szl", "apertium-pol-szl"},
      {"por", "cat", "apertium-por-cat"}, {"cat", "por", "apertium-por-cat"}, {"pt", "gl", "apertium-pt-gl"},
      {"gl", "pt", "apertium-pt-gl"},     {"rus", "ukr", "apertium-rus-ukr"}, {"ukr", "rus", "apertium-rus-ukr"},
      {"spa", "arg", "apertium-spa-arg"}, {"arg", "spa", "apertium-spa-arg"}, {"spa", "ast", "apertium-spa-ast"},
      {"spa", "cat", "apertium-spa-cat"}, {"cat", "spa", "apertium-spa-cat"}, {"spa", "ita", "apertium-spa-ita"},
      {"ita", "spa", "apertium-spa-ita"}, {"srd", "ita", "apertium-srd-ita"}, {"ita", "srd", "apertium-srd-ita"},
      {"swe", "dan", "apertium-swe-dan"}, {"dan", "swe", "apertium-swe-dan"}, {"swe", "nor", "apertium-swe-nor"},
      {"nor", "swe", "apertium-swe-nor"}, {"urd", "hin", "apertium-urd-hin"}, {"hin", "urd", "apertium-urd-hin"},
  };
  return pairs;
}

std::vector<std::string> apertiumCodes(const std::string& languageCode) {
  std::vector<std::string> codes;
  auto add = [&](const std::string& code) {
    if (!code.empty() && std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  };
  icu::Locale locale(languageCode.c_str());
  add(locale.getISO3Language());
  add(languageCode);
  // Apertium's names for languages that ISO 639 splits or groups otherwise.
  if (languageCode == "ms") add("zlm");
  if (languageCode == "sr" || languageCode == "hr" || languageCode == "bs" || languageCode == "sh") add("hbs");
  if (languageCode == "nb") add("nor");
  return codes;
}

std::string escapeApertium(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\0') continue;
    if (kReserved.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string unescapeApertium(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out.push_back(text[i]);
  }
  return out;
}

std::string prepareForTranslation(std::string_view line, bool english) {
  icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
  auto letterAt = [&](int32_t at) { return at >= 0 && at < text.length() && u_isalpha(text.char32At(at)); };
  bool first = true;
  for (int32_t at = 0; at < text.length(); at = text.moveIndex32(at, 1)) {
    const UChar32 c = text.char32At(at);
    if (!u_isalpha(c)) continue;
    const bool pronoun = english && c == u'i' && !letterAt(at - 1) && !letterAt(at + 1);
    if (first || pronoun) text.replace(at, U16_LENGTH(c), u_toupper(c));
    first = false;
  }
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string unitOfLine(std::string_view line, bool english) {
  return escapeApertium(prepareForTranslation(line, english)) + std::string(kLineEnd);
}

std::string translationOfAnswer(std::string_view answer) {
  // The superblank comes back as sent, after the period (or what the pair
  // made of it); one period before it is the one the unit added.
  auto escaped = [&](size_t at) { return at > 0 && answer[at - 1] == '\\'; };
  while (!answer.empty() && answer.back() == ']' && !escaped(answer.size() - 1)) {
    const size_t open = answer.rfind('[');
    if (open == std::string_view::npos || escaped(open)) break;
    answer = answer.substr(0, open);
  }
  if (!answer.empty() && answer.back() == '.' && !escaped(answer.size() - 1)) answer.remove_suffix(1);
  return tidyTranslation(unescapeApertium(answer));
}

std::string tidyTranslation(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

std::string nullFlushPipeline(std::string_view modeText) {
  std::string command;
  for (const std::string& raw : splitStages(modeText)) {
    std::string stage = trim(raw);
    if (stage.empty()) continue;
    replaceAll(stage, "$1", "-n");
    replaceAll(stage, "$2", "");
    size_t programEnd = stage.find(' ');
    std::string program = stage.substr(0, programEnd);
    std::string rest = programEnd == std::string::npos ? "" : stage.substr(programEnd);
    if (!command.empty()) command += " | ";
    command += "stdbuf -o0 " + program + " -z" + rest;
  }
  return command;
}

ApertiumPipeline::ApertiumPipeline(const std::string& command) {
  int in[2] = {-1, -1};  // socket: our end can write without SIGPIPE
  int out[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
    throw TranslationError(std::string("Could not start the Apertium translator: ") + std::strerror(errno) + ".");
  }
  UniqueFd ours(in[0]), theirsIn(in[1]);
  if (::pipe2(out, O_CLOEXEC) != 0) {
    throw TranslationError(std::string("Could not start the Apertium translator: ") + std::strerror(errno) + ".");
  }
  UniqueFd results(out[0]), theirsOut(out[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[1], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so that the whole pipeline can be ended at once.
  posix_spawnattr_setpgroup(&attributes, 0);
  short flags = POSIX_SPAWN_SETPGROUP;
  // Stages must not inherit a blocked or ignored SIGPIPE from this process.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  posix_spawnattr_setflags(&attributes, flags);

  std::string script = "LC_ALL=C.UTF-8; export LC_ALL; " + command;
  std::string shell = "/bin/sh";
  std::string dashC = "-c";
  char* argv[] = {shell.data(), dashC.data(), script.data(), nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    throw TranslationError(std::string("Could not start the Apertium translator: ") + std::strerror(rc) + ".");
  }
  pid_ = pid;
  input_ = std::move(ours);
  output_ = std::move(results);
}

ApertiumPipeline::~ApertiumPipeline() {
  shutDown();
}

void ApertiumPipeline::shutDown() {
  input_.reset();  // every stage ends at the end of its input
  output_.reset();
  if (pid_ <= 0) return;
  for (int i = 0; i < 50; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      ::kill(-pid_, SIGKILL);  // stragglers of the group, if any
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string ApertiumPipeline::roundTrip(std::string_view unit, std::chrono::milliseconds timeout) {
  auto broken = [&](const std::string& why) {
    shutDown();
    return TranslationError(why);
  };
  if (!input_.valid()) throw TranslationError("The Apertium translator is not running.");
  std::string message(unit);
  message.push_back('\0');
  size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string answer;
  char chunk[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw broken("The Apertium translator did not answer in time.");
    // The pipeline answers while it reads: waiting to finish sending before
    // reading could fill both directions' buffers and block both sides.
    pollfd fds[2] = {{output_.get(), POLLIN, 0}, {input_.get(), POLLOUT, 0}};
    const nfds_t count = sent < message.size() ? 2 : 1;
    int ready = ::poll(fds, count, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw broken("The Apertium translator stopped.");
    if (count == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::send(input_.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EINTR && errno != EAGAIN) throw broken("The Apertium translator stopped.");
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (fds[0].revents == 0) continue;
    ssize_t n = ::read(output_.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw broken("The Apertium translator stopped.");
    answer.append(chunk, static_cast<size_t>(n));
    size_t end = answer.find('\0');
    if (end != std::string::npos) {
      // One unit is in flight at a time, so nothing follows its NUL.
      answer.resize(end);
      return answer;
    }
  }
}

ApertiumTranslationService::ApertiumTranslationService(std::string modesDirectory,
                                                       std::vector<ApertiumPackagedPair> catalog,
                                                       std::chrono::milliseconds lineTimeout)
    : modesDirectory_(std::move(modesDirectory)), catalog_(std::move(catalog)), lineTimeout_(lineTimeout) {}

std::optional<std::string> ApertiumTranslationService::modeFile(const std::string& source,
                                                                const std::string& target) const {
  for (const std::string& from : apertiumCodes(source)) {
    for (const std::string& to : apertiumCodes(target)) {
      std::string path = modesDirectory_ + "/" + from + "-" + to + ".mode";
      if (fileExists(path)) return path;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ApertiumTranslationService::packageFor(const std::string& source,
                                                                  const std::string& target) const {
  std::vector<std::string> from = apertiumCodes(source);
  std::vector<std::string> to = apertiumCodes(target);
  for (const ApertiumPackagedPair& pair : catalog_) {
    if (std::find(from.begin(), from.end(), pair.from) != from.end() &&
        std::find(to.begin(), to.end(), pair.to) != to.end()) {
      return std::string(pair.package);
    }
  }
  return std::nullopt;
}

TranslationAvailability ApertiumTranslationService::status(const std::optional<std::string>& source,
                                                           const std::optional<std::string>& target) {
  if (!source || !target) return TranslationAvailability::kUnsupported;
  if (modeFile(*source, *target)) return TranslationAvailability::kInstalled;
  if (packageFor(*source, *target)) return TranslationAvailability::kSupported;
  return TranslationAvailability::kUnsupported;
}

std::unique_ptr<Translator> ApertiumTranslationService::open(const std::string& source, const std::string& target) {
  std::optional<std::string> path = modeFile(source, target);
  if (!path) throw TranslationError("No Apertium pair is installed for " + source + " to " + target + ".");
  std::ifstream file(*path);
  if (!file.is_open()) throw TranslationError("Could not read the Apertium mode file " + *path + ".");
  std::stringstream text;
  text << file.rdbuf();
  const std::vector<std::string> codes = apertiumCodes(source);
  const bool english = std::find(codes.begin(), codes.end(), "eng") != codes.end();
  return std::make_unique<ApertiumTranslator>(nullFlushPipeline(text.str()), english, lineTimeout_);
}

}  // namespace tavrin::system_audio
