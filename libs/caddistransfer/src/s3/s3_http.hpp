// One signed HTTP exchange with an S3 endpoint through libcurl: the request body
// streamed from a file (or memory) with its MD5 taken on the way out, the answer's body
// streamed to a sink, and a hook that sees every body byte as it crosses the wire so a
// token bucket can hold the transfer to a rate. Easy handles are pooled, so connections
// stay open between requests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "s3_digest.hpp"
#include "s3_error.hpp"

namespace caddistransfer::s3 {

// Bytes to send: `length` bytes of `fd` from `offset` (read with pread, so one file can
// feed several requests at once), or `memory` when fd < 0.
struct RequestBody {
  int fd = -1;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string_view memory;
  std::string name;  // for messages: the file the bytes come from
  // Hex SHA-256 of the bytes, taken beforehand: the request is signed with it, so the
  // server checks every byte on arrival and no MD5 is taken on the way out.
  std::string sha256 = {};
};

using ByteSink = std::function<void(const char* data, std::size_t size)>;
using WireHook = std::function<void(std::size_t bytes)>;
using HeaderMap = std::map<std::string, std::string>;  // lowercase names

struct HttpRequest {
  const char* method = "GET";
  std::string url;
  std::vector<std::string> headers;  // "name: value"
  const RequestBody* body = nullptr;
  // A 2xx answer's body goes to the sink when there is one; every other body is kept
  // in HttpResponse::body.
  const ByteSink* sink = nullptr;
  // Sees the status and headers before the first byte reaches the sink; may throw.
  std::function<void(long status, const HeaderMap& headers)> on_headers;
  const WireHook* on_wire = nullptr;
};

struct HttpResponse {
  long status = 0;
  HeaderMap headers;
  std::string body;
  Md5Digest sent_md5{};  // of the request body as it went out (none with a known SHA-256)

  std::string Header(const std::string& lowercase_name) const {
    const auto found = headers.find(lowercase_name);
    return found != headers.end() ? found->second : std::string();
  }
};

struct Signer {
  std::string region;
  std::string access_key;
  std::string secret_key;
};

class HttpClient {
 public:
  HttpClient(Signer signer, std::string ca_file, std::chrono::milliseconds stall_timeout);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Returns any HTTP answer, error statuses included. A failure to get one throws
  // TransientError (refused, reset, timed out) or RejectedError (TLS verification,
  // unsupported URL) with `context` completed; an exception thrown by the sink, the
  // hook or a failed read of the body passes through unchanged.
  HttpResponse Perform(const HttpRequest& request, ErrorDetails context);

 private:
  void* TakeHandle();
  void ReturnHandle(void* handle);

  Signer signer_;
  std::string signing_scope_;
  std::string ca_file_;
  std::chrono::milliseconds stall_timeout_;
  std::mutex mutex_;
  std::vector<void*> idle_handles_;
};

}  // namespace caddistransfer::s3
