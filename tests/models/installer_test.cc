// ModelInstaller against a scripted HTTPS client: resuming, starting over,
// stopping, and never touching an installed model.
#include "models/installer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/subprocess.h"

namespace tavrin::testing {
namespace {

using models::HttpsRequest;
using models::HttpsSink;
using models::TransferError;

// Answers each get() with the next scripted reply: a status, the body
// from the requested offset (the whole body when `ignoreRange`), cut off
// after `cutAfter` bytes with a dropped connection.
struct Reply {
  long status = 200;
  bool ignoreRange = false;
  size_t cutAfter = SIZE_MAX;
};

class ScriptedClient final : public models::HttpsClient {
 public:
  ScriptedClient(std::string body, std::vector<Reply> replies) : body_(std::move(body)), replies_(std::move(replies)) {}
  void get(const HttpsRequest& request, HttpsSink& sink) override {
    using K = TransferError::Kind;
    offsets.push_back(request.offset);
    const Reply reply = replies_.at(offsets.size() - 1);
    if (reply.status >= 400) throw TransferError(K::kStatus, "HTTP " + std::to_string(reply.status));
    const size_t from = reply.ignoreRange ? 0 : request.offset;
    models::HttpsResponse response{from > 0 ? 206 : reply.status, body_.size() - from, {}};
    if (from > 0)
      response.headers["content-range"] = "bytes " + std::to_string(from) + "-/" + std::to_string(body_.size());
    if (!sink.onResponse(response)) throw TransferError(K::kStopped, "stopped");
    const std::string rest = body_.substr(from, std::min(reply.cutAfter, body_.size() - from));
    for (size_t at = 0; at < rest.size(); at += 1000) {
      if (!sink.onBody(std::string_view(rest).substr(at, 1000))) throw TransferError(K::kStopped, "stopped");
    }
    if (reply.cutAfter != SIZE_MAX) throw TransferError(K::kConnection, "connection dropped");
  }
  std::vector<uint64_t> offsets;

 private:
  std::string body_;
  std::vector<Reply> replies_;
};

class StopAfter final : public models::InstallObserver {
 public:
  explicit StopAfter(uint64_t bytes) : limit_(bytes) {}
  void progress(uint64_t done, std::optional<uint64_t>) override { done_ = done; }
  bool proceed() override { return done_ < limit_; }

 private:
  uint64_t limit_;
  uint64_t done_ = 0;
};

TEST(ModelInstallerTest, ResumesStartsOverStopsAndLeavesNoModelButAWholeOne) {
  std::string body(50000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 % 251);
  const Reply cut{200, false, 20000};
  struct Row {
    const char* name;
    std::vector<Reply> replies;
    uint64_t stopAfter;
    std::string digest;
    std::vector<uint64_t> offsets;
    bool installed;
    uint64_t partBytes;  // left for a later resume
  };
  const std::string good = "e1e7e2ae1d6962c6ec79e41e3960d4eca57528c2";  // SHA-1 of body
  const std::vector<Row> rows = {
      {"whole", {{}}, UINT64_MAX, good, {0}, true, 0},
      {"resumed after a drop", {cut, cut, {}}, UINT64_MAX, good, {0, 20000, 40000}, true, 0},
      {"range ignored", {cut, {200, true}}, UINT64_MAX, good, {0, 20000}, true, 0},
      {"wrong checksum", {{}}, UINT64_MAX, std::string(40, '0'), {0}, false, 0},
      {"wrong checksum after resume", {cut, {}}, UINT64_MAX, std::string(40, '0'), {0, 20000}, false, 0},
      {"no progress", {cut, {200, false, 0}}, UINT64_MAX, good, {0, 20000}, false, 20000},
      {"stopped", {{}}, 10000, good, {0}, false, 10000},
  };
  for (const Row& row : rows) {
    TempDir dir;
    models::CatalogueModel model = *models::findModel("base");
    model.digest = row.digest;
    model.approximateBytes = body.size();
    ScriptedClient client(body, row.replies);
    models::ModelInstaller installer(client, {dir.path(), dir.file("config")});
    StopAfter observer(row.stopAfter);
    const std::string path = installer.paths().installedPath(model);
    try {
      EXPECT_EQ(installer.install(model, observer), path) << row.name;
      EXPECT_TRUE(row.installed) << row.name;
    } catch (const models::InstallError& e) {
      EXPECT_FALSE(row.installed) << row.name << ": " << e.what();
    }
    EXPECT_EQ(client.offsets, row.offsets) << row.name;
    EXPECT_EQ(std::filesystem::exists(path), row.installed) << row.name;
    if (row.installed) {
      EXPECT_EQ(readFile(path), body) << row.name;
    }
    const std::string part = installer.paths().partialPath(model);
    EXPECT_EQ(std::filesystem::exists(part) ? std::filesystem::file_size(part) : 0, row.partBytes) << row.name;
  }
}

TEST(ModelInstallerTest, NeverTouchesAnInstalledModel) {
  TempDir dir;
  const models::CatalogueModel model = *models::findModel("base");
  ScriptedClient client("new", {});
  models::ModelInstaller installer(client, {dir.path(), dir.file("config")});
  std::filesystem::create_directories(installer.paths().directory(model.kind));
  writeFile(installer.paths().installedPath(model), "mine");
  models::InstallObserver observer;
  installer.install(model, observer);
  EXPECT_TRUE(client.offsets.empty());
  EXPECT_EQ(readFile(installer.paths().installedPath(model)), "mine");
}

}  // namespace
}  // namespace tavrin::testing
