#include <curl/curl.h>

#include <cctype>
#include <mutex>

#include "common/text.h"
#include "models/http.h"

namespace tavrin::models {
namespace {

struct EasyHandleDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;

// The state of one transfer, shared with libcurl's callbacks (all of them
// run on the thread inside curl_easy_perform).
struct Transfer {
  HttpsSink& sink;
  HttpsResponse response;
  bool responded = false;
  bool stopped = false;
  bool failedStatus = false;

  int responses = 0;  // begun so far

  bool respond() {
    responded = true;
    if (!sink.onResponse(response)) stopped = true;
    if (response.status >= 400) failedStatus = true;
    return !stopped && !failedStatus;
  }
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (after a redirect or an interim one): its own status,
    // length and headers; the first response's headers stay as the origin's.
    const size_t space = line.find(' ');
    t.response.status = space == std::string_view::npos ? 0 : std::atol(std::string(line.substr(space + 1, 3)).c_str());
    t.response.contentLength.reset();
    t.response.headers.clear();
    ++t.responses;
    return line.size();
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return line.size();
  std::string name = std::string(trimSpace(line.substr(0, colon)));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string value = std::string(trimSpace(line.substr(colon + 1)));
  if (name == "content-length") t.response.contentLength = std::strtoull(value.c_str(), nullptr, 10);
  t.response.headers.emplace(name, value);
  if (t.responses == 1) t.response.originHeaders.emplace(name, value);
  return line.size();
}

size_t onWrite(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  if (!t.responded && !t.respond()) return 0;
  if (t.stopped || !t.sink.onBody(std::string_view(data, size * count))) {
    t.stopped = true;
    return 0;
  }
  return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  if (!t.sink.proceed()) t.stopped = true;
  return t.stopped ? 1 : 0;
}

class CurlClient final : public HttpsClient {
 public:
  void get(const HttpsRequest& request, HttpsSink& sink) override {
    if (request.address.rfind("https://", 0) != 0) {
      throw TransferError(TransferError::Kind::kConnection, "the address is not an HTTPS address");
    }
    EasyHandle easy(curl_easy_init());
    if (!easy) throw std::runtime_error("libcurl could not be set up");
    CURL* h = easy.get();
    Transfer t{sink, {}};
    char error[CURL_ERROR_SIZE] = {};
    const std::string range = std::to_string(request.offset) + "-";
    curl_easy_setopt(h, CURLOPT_URL, request.address.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // A proxy's CONNECT answer is not the catalogue host's first response.
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    // A server that sends nothing for a minute has stalled.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tavrin-models");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    if (request.offset > 0) curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());
    if (!request.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, request.caFile.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK && !t.responded) t.respond();
    if (t.failedStatus) {
      throw TransferError(TransferError::Kind::kStatus, "the server answered HTTP " + std::to_string(t.response.status),
                          t.response.status);
    }
    if (t.stopped) throw TransferError(TransferError::Kind::kStopped, "the download was stopped");
    if (rc == CURLE_UNSUPPORTED_PROTOCOL) {
      throw TransferError(TransferError::Kind::kStatus, "the server redirected to an address that is not HTTPS");
    }
    if (rc != CURLE_OK) {
      throw TransferError(TransferError::Kind::kConnection, error[0] != '\0' ? error : curl_easy_strerror(rc));
    }
  }
};

}  // namespace

std::unique_ptr<HttpsClient> makeCurlClient() {
  static std::once_flag once;
  static CURLcode initialised = CURLE_OK;
  std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initialised != CURLE_OK) throw std::runtime_error("libcurl could not be set up");
  return std::make_unique<CurlClient>();
}

}  // namespace tavrin::models
