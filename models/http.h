// The HTTPS transfer under the model downloader, behind an interface so the
// downloader can be tested against a fake that fails any step (as LevelDB's
// Env has an in-memory Env).
//
//   HttpsClient& client = ...;
//   client.get({"https://host/file", 1024, ""}, sink);   // bytes 1024..end
//
// The contract every client keeps:
//   - HTTPS only; a redirect is followed only to another HTTPS address.
//   - sink.onResponse() is called once, before any body byte (also for a
//     failed status), with the final response's status and headers and the
//     headers of the first response, the one from the address asked (names
//     in lower case, the first value of a name wins), so a checksum the
//     catalogue's host declares before redirecting is told apart from what
//     the host it redirects to says.
//   - sink.onBody() gets the body in order, in pieces of at most a few
//     hundred kilobytes; nothing of it is kept by the client, so memory does
//     not grow with the file.
//   - sink.proceed() is asked at least once a second, also while nothing
//     arrives; it or another callback returning false ends the transfer:
//     get() then throws TransferError{kStopped}.
//   - get() returns when the body has ended as the response declared it;
//     a connection that ends early, stalls for a minute or cannot be made
//     throws TransferError{kConnection}; a status of 400 or more throws
//     TransferError{kStatus} carrying it (after onResponse, with no body
//     delivered).
// get() blocks the calling thread; a client serves one transfer at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrin::models {

struct HttpsRequest {
  std::string address;
  uint64_t offset = 0;  // ask for the bytes from here on (a range request) when > 0
  std::string caFile;   // extra CA bundle to trust; empty: the system's
};

struct HttpsResponse {
  long status = 0;                                   // of the final response
  std::optional<uint64_t> contentLength;             // of the final response's body
  std::map<std::string, std::string> headers;        // of the final response
  std::map<std::string, std::string> originHeaders;  // of the first response
};

class HttpsSink {
 public:
  virtual ~HttpsSink() = default;
  virtual bool onResponse(const HttpsResponse& response) = 0;
  virtual bool onBody(std::string_view bytes) = 0;
  virtual bool proceed() { return true; }
};

class TransferError : public std::runtime_error {
 public:
  enum class Kind { kConnection, kStatus, kStopped };
  TransferError(Kind kind, const std::string& what, long status = 0)
      : std::runtime_error(what), kind_(kind), status_(status) {}
  Kind kind() const { return kind_; }
  long status() const { return status_; }  // the HTTP status of kStatus; 0 when none

 private:
  Kind kind_;
  long status_;
};

class HttpsClient {
 public:
  virtual ~HttpsClient() = default;
  virtual void get(const HttpsRequest& request, HttpsSink& sink) = 0;
};

// libcurl's easy interface. Throws std::runtime_error when libcurl cannot
// be set up.
std::unique_ptr<HttpsClient> makeCurlClient();

}  // namespace tavrin::models
