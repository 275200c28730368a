#include "s3_http.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include <curl/curl.h>
#include <unistd.h>

namespace caddistransfer::s3 {
namespace {

constexpr std::size_t kMaxAnswerBytes = 64u << 20;  // listings of 1000 entries stay far below
constexpr std::size_t kMaxErrorBodyBytes = 64u << 10;
constexpr long kBufferBytes = 256 * 1024;

void InitializeCurlOnce() {
  static std::once_flag initialized;
  std::call_once(initialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// State of one exchange, shared with libcurl's callbacks. Exceptions cannot cross
// libcurl, so a callback parks its exception here and tells libcurl to stop.
struct Exchange {
  CURL* handle = nullptr;
  const HttpRequest& request;
  const RequestBody& body;
  HttpResponse response;
  uint64_t body_position = 0;
  Md5 md5;
  bool body_started = false;
  bool to_sink = false;
  std::exception_ptr failure;
  // Progress watch: when a byte last moved either way, and whether the watch ended it.
  std::chrono::milliseconds stall_timeout{0};
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
  curl_off_t moved = 0;
  bool stalled = false;
};

int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto& exchange = *static_cast<Exchange*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (received + sent != exchange.moved) {
    exchange.moved = received + sent;
    exchange.last_progress = now;
    return 0;
  }
  if (now - exchange.last_progress < exchange.stall_timeout) return 0;
  exchange.stalled = true;
  return 1;
}

std::string Trim(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  const auto end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    exchange.response.headers.clear();  // a new answer (after "100 Continue")
    return size * count;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return size * count;
  std::string name(line.substr(0, colon));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  std::string& slot = exchange.response.headers[name];
  const std::string value = Trim(line.substr(colon + 1));
  slot = slot.empty() ? value : slot + ", " + value;
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  try {
    if (!exchange.body_started) {
      exchange.body_started = true;
      curl_easy_getinfo(exchange.handle, CURLINFO_RESPONSE_CODE, &exchange.response.status);
      const bool success = exchange.response.status >= 200 && exchange.response.status < 300;
      exchange.to_sink = success && exchange.request.sink != nullptr;
      if (exchange.to_sink && exchange.request.on_headers) {
        exchange.request.on_headers(exchange.response.status, exchange.response.headers);
      }
    }
    if (exchange.to_sink) {
      if (exchange.request.on_wire != nullptr) (*exchange.request.on_wire)(bytes);
      (*exchange.request.sink)(data, bytes);
      return bytes;
    }
    const bool success = exchange.response.status >= 200 && exchange.response.status < 300;
    std::string& body = exchange.response.body;
    if (success && body.size() + bytes > kMaxAnswerBytes) {
      throw TransferError("the answer is larger than " + std::to_string(kMaxAnswerBytes >> 20) + " MiB");
    }
    // Only the start of an error body matters; the rest is read and dropped.
    const std::size_t keep = success ? bytes : std::min(bytes, kMaxErrorBodyBytes - std::min(kMaxErrorBodyBytes, body.size()));
    body.append(data, keep);
    return bytes;
  } catch (...) {
    exchange.failure = std::current_exception();
    return 0;
  }
}

size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const RequestBody& body = exchange.body;
  const std::size_t want =
      static_cast<std::size_t>(std::min<uint64_t>(size * count, body.length - exchange.body_position));
  if (want == 0) return 0;
  try {
    if (exchange.request.on_wire != nullptr) (*exchange.request.on_wire)(want);
    if (body.fd < 0) {
      std::memcpy(buffer, body.memory.data() + exchange.body_position, want);
    } else {
      std::size_t done = 0;
      while (done < want) {
        const ssize_t got = ::pread(body.fd, buffer + done, want - done,
                                    static_cast<off_t>(body.offset + exchange.body_position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw TransferError(SystemErrorText("cannot read " + body.name, errno));
        if (got == 0) throw TransferError(body.name + " became shorter while it was sent");
        done += static_cast<std::size_t>(got);
      }
    }
    if (body.sha256.empty()) exchange.md5.Update(buffer, want);
    exchange.body_position += want;
    return want;
  } catch (...) {
    exchange.failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds a body it must send again (a reused connection that was closed);
// the MD5 starts over with it.
int OnSeek(void* user, curl_off_t offset, int origin) {
  auto& exchange = *static_cast<Exchange*>(user);
  if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  exchange.body_position = 0;
  exchange.md5.Reset();
  return CURL_SEEKFUNC_OK;
}

bool RetryCannotHelp(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return true;
    default:
      return false;
  }
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

HttpClient::HttpClient(Signer signer, std::string ca_file, std::chrono::milliseconds stall_timeout)
    : signer_(std::move(signer)),
      signing_scope_("aws:amz:" + signer_.region + ":s3"),
      ca_file_(std::move(ca_file)),
      stall_timeout_(stall_timeout) {
  InitializeCurlOnce();
}

HttpClient::~HttpClient() {
  for (void* handle : idle_handles_) curl_easy_cleanup(static_cast<CURL*>(handle));
}

void* HttpClient::TakeHandle() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_handles_.empty()) {
      void* handle = idle_handles_.back();
      idle_handles_.pop_back();
      return handle;
    }
  }
  CURL* handle = curl_easy_init();
  if (handle == nullptr) throw std::bad_alloc();
  return handle;
}

void HttpClient::ReturnHandle(void* handle) {
  // Resetting keeps the handle's open connections for the next request.
  curl_easy_reset(static_cast<CURL*>(handle));
  std::lock_guard lock(mutex_);
  if (idle_handles_.size() < 64) {
    idle_handles_.push_back(handle);
    return;
  }
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpResponse HttpClient::Perform(const HttpRequest& request, ErrorDetails context) {
  CURL* handle = static_cast<CURL*>(TakeHandle());
  struct Return {
    HttpClient* client;
    void* handle;
    ~Return() { client->ReturnHandle(handle); }
  } give_back{this, handle};

  static const RequestBody kNoBody;
  Exchange exchange{handle, request, request.body != nullptr ? *request.body : kNoBody, {}, 0, {}, false, false, nullptr};
  exchange.stall_timeout = stall_timeout_;
  HeaderList headers;
  for (const auto& header : request.headers) {
    curl_slist* appended = curl_slist_append(headers.list, header.c_str());
    if (appended == nullptr) throw std::bad_alloc();
    headers.list = appended;
  }

  char error_buffer[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);  // the signed path is the path sent
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &exchange);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kBufferBytes);
  curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kBufferBytes);
  if (!ca_file_.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file_.c_str());
  curl_easy_setopt(handle, CURLOPT_USERNAME, signer_.access_key.c_str());
  curl_easy_setopt(handle, CURLOPT_PASSWORD, signer_.secret_key.c_str());
  curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, signing_scope_.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);

  const std::string_view method = request.method;
  if (method == "HEAD") {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else if (method == "PUT" || method == "POST") {
    const auto length = static_cast<curl_off_t>(exchange.body.length);
    if (method == "PUT") {
      curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, length);
    } else {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, length);
    }
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, OnRead);
    curl_easy_setopt(handle, CURLOPT_READDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, OnSeek);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &exchange);
  } else if (method != "GET") {
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method);
  }

  const CURLcode result = curl_easy_perform(handle);
  if (exchange.failure) std::rethrow_exception(exchange.failure);
  if (result != CURLE_OK) {
    context.message = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(result);
    if (exchange.stalled) {
      const auto ms = stall_timeout_.count();
      context.message = "the server stopped answering: nothing moved for " +
                        (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
    }
    if (RetryCannotHelp(result)) throw RejectedError(std::move(context));
    throw TransientError(std::move(context));
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &exchange.response.status);
  if (request.body != nullptr && request.body->sha256.empty()) exchange.response.sent_md5 = exchange.md5.Finish();
  return std::move(exchange.response);
}

}  // namespace caddistransfer::s3
