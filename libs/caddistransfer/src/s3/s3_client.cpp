#include "s3_client.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>

#include <curl/curl.h>
#include <unistd.h>

#include "s3_names.hpp"

namespace caddistransfer::s3 {
namespace {

// x-amz-content-sha256 of a request without a body.
constexpr const char* kEmptyPayloadHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string ResourceName(const std::string& bucket, const std::string& key) {
  return "s3://" + bucket + (key.empty() ? "" : "/" + key);
}

bool Succeeded(long status) { return status >= 200 && status < 300; }

// Server-supplied text, made safe for a one-line message.
std::string Clean(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (text.size() > 300) text = text.substr(0, 300) + "...";
  return text;
}

std::string NormalizedEndpoint(const std::string& endpoint) {
  const auto refuse = [&](const std::string& why) {
    return PermanentError("S3 endpoint '" + Clean(endpoint) + "' " + why +
                          " (expected http(s)://host[:port], e.g. https://s3.example.org)");
  };
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, endpoint.c_str(), 0) != CURLUE_OK) {
    throw refuse("is not a URL");
  }
  const auto part = [&](CURLUPart which) -> std::string {
    char* text = nullptr;
    if (curl_url_get(url.get(), which, &text, 0) != CURLUE_OK || text == nullptr) return {};
    std::string value = text;
    curl_free(text);
    return value;
  };
  const std::string scheme = part(CURLUPART_SCHEME);
  if (scheme != "http" && scheme != "https") throw refuse("must start with https:// or http://");
  if (!part(CURLUPART_USER).empty() || !part(CURLUPART_PASSWORD).empty()) {
    throw refuse("must not hold a user name or password (keys belong in access_key and secret_key)");
  }
  const std::string path = part(CURLUPART_PATH);
  if (!(path.empty() || path == "/") || !part(CURLUPART_QUERY).empty() || !part(CURLUPART_FRAGMENT).empty()) {
    throw refuse("must not have a path, query or fragment");
  }
  const std::string port = part(CURLUPART_PORT);
  return scheme + "://" + part(CURLUPART_HOST) + (port.empty() ? "" : ":" + port);
}

std::string RangeHeader(const GetOptions& options) {
  std::string range = "Range: bytes=" + std::to_string(options.offset) + "-";
  if (options.length) range += std::to_string(options.offset + *options.length - 1);
  return range;
}

// "bytes 10-19/100" -> first byte and total size.
bool ParseContentRange(const std::string& text, uint64_t& first, uint64_t& total) {
  unsigned long long a = 0, b = 0, c = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "bytes %llu-%llu/%llu%n", &a, &b, &c, &consumed) != 3 ||
      static_cast<std::size_t>(consumed) != text.size()) {
    return false;
  }
  first = a;
  total = c;
  return true;
}

bool ParseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoull(text);
  return true;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

struct Client::Request {
  const char* method = "GET";
  std::string bucket;
  std::string key;
  QueryParameters query;
  std::vector<std::string> headers;
  const RequestBody* body = nullptr;
  std::string payload_hash = kEmptyPayloadHash;
  const ByteSink* sink = nullptr;
  std::function<void(long, const HeaderMap&)> on_headers;
  const WireHook* on_wire = nullptr;
};

Client::Client(ClientSettings settings) : settings_(std::move(settings)) {
  settings_.endpoint = NormalizedEndpoint(settings_.endpoint);
  if (settings_.access_key.empty() || settings_.secret_key.empty()) {
    throw PermanentError("S3 endpoint " + settings_.endpoint + " needs an access key and a secret key");
  }
  http_ = std::make_unique<HttpClient>(
      Signer{settings_.region.empty() ? "us-east-1" : settings_.region, settings_.access_key, settings_.secret_key},
      settings_.ca_file, settings_.stall_timeout);
}

Client::~Client() = default;

const std::string& Client::endpoint() const { return settings_.endpoint; }

ErrorDetails Client::Context(const char* operation, const std::string& bucket, const std::string& key) const {
  ErrorDetails details;
  details.operation = operation;
  details.resource = ResourceName(bucket, key);
  details.endpoint = settings_.endpoint;
  return details;
}

HttpResponse Client::Send(const Request& request, const ErrorDetails& context) {
  CheckBucketName(request.bucket);
  if (!request.key.empty()) CheckKey(request.key);
  HttpRequest http;
  http.method = request.method;
  http.url = settings_.endpoint + "/" + request.bucket;
  if (!request.key.empty()) http.url += "/" + EncodeKey(request.key);
  if (!request.query.empty()) http.url += "?" + CanonicalQuery(request.query);
  http.headers = request.headers;
  // libcurl signs this header's value as the payload hash but does not add it itself.
  http.headers.push_back("x-amz-content-sha256: " + request.payload_hash);
  http.body = request.body;
  http.sink = request.sink;
  http.on_headers = request.on_headers;
  http.on_wire = request.on_wire;
  return http_->Perform(http, context);
}

void Client::Fail(const HttpResponse& response, ErrorDetails context, const std::string& explanation) {
  context.http_status = response.status;
  if (const auto document = ParseErrorDocument(response.body)) {
    context.code = Clean(document->code);
    context.message = Clean(document->message);
  }
  if (context.message.empty()) context.message = DescribeCode(context.code);
  if (!explanation.empty()) context.message = explanation;
  ThrowS3Error(std::move(context));
}

ObjectInfo Client::InfoFrom(const HttpResponse& response, const ErrorDetails& context) const {
  ObjectInfo info;
  uint64_t first = 0;
  const std::string range = response.Header("content-range");
  const bool sized = range.empty() ? ParseCount(response.Header("content-length"), info.size)
                                   : ParseContentRange(range, first, info.size);
  if (!sized) {
    ErrorDetails details = context;
    details.http_status = response.status;
    details.message = "the answer does not say the object's size";
    throw TransientError(std::move(details));
  }
  info.etag = Unquote(response.Header("etag"));
  const time_t modified = curl_getdate(response.Header("last-modified").c_str(), nullptr);
  if (modified > 0) info.last_modified = std::chrono::system_clock::from_time_t(modified);
  static constexpr std::string_view kMetaPrefix = "x-amz-meta-";
  for (const auto& [name, value] : response.headers) {
    if (name.starts_with(kMetaPrefix)) info.metadata[name.substr(kMetaPrefix.size())] = value;
  }
  return info;
}

void Client::CheckStoredBytes(const HttpResponse& response, const std::string& etag, const ErrorDetails& context) {
  // With KMS or customer-key encryption the ETag is not the MD5 of the bytes.
  const std::string encryption = response.Header("x-amz-server-side-encryption");
  if (encryption.starts_with("aws:kms") || !response.Header("x-amz-server-side-encryption-customer-algorithm").empty() ||
      !IsMd5Etag(etag)) {
    return;
  }
  const std::string sent = Hex(response.sent_md5);
  if (etag == sent) return;
  ErrorDetails details = context;
  details.http_status = response.status;
  details.message = "the server stored other bytes than were sent (ETag " + etag + ", MD5 of the bytes sent " +
                    sent + ")";
  throw TransientError(std::move(details));
}

std::optional<ObjectInfo> Client::Head(const std::string& bucket, const std::string& key) {
  const ErrorDetails context = Context("HeadObject", bucket, key);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Request head;
    head.method = "HEAD";
    head.bucket = bucket;
    head.key = key;
    const HttpResponse response = Send(head, context);
    if (Succeeded(response.status)) return InfoFrom(response, context);
    // A HEAD answer has no body: a one-byte GET tells S3's reason (NoSuchKey or
    // NoSuchBucket, AccessDenied or SignatureDoesNotMatch).
    Request probe;
    probe.bucket = bucket;
    probe.key = key;
    probe.headers = {"Range: bytes=0-0"};
    const HttpResponse reason = Send(probe, context);
    if (Succeeded(reason.status) || reason.status == 416) continue;  // it appeared meanwhile
    const auto document = ParseErrorDocument(reason.body);
    if (reason.status == 404 && (!document || document->code == "NoSuchKey")) return std::nullopt;
    Fail(reason, context);
  }
  ErrorDetails details = context;
  details.message = "the object keeps appearing and disappearing";
  throw TransientError(std::move(details));
}

ObjectInfo Client::Get(const std::string& bucket, const std::string& key, const ByteSink& sink,
                       const GetOptions& options) {
  const ErrorDetails context = Context("GetObject", bucket, key);
  const bool ranged = options.offset > 0 || options.length.has_value();
  if (options.length && *options.length == 0) {
    // Nothing to fetch; the answer is still the object's current state.
    auto info = Head(bucket, key);
    if (!info) Fail(HttpResponse{404, {}, {}, {}}, context, DescribeCode("NoSuchKey"));
    return *info;
  }

  Request request;
  request.bucket = bucket;
  request.key = key;
  if (ranged) request.headers.push_back(RangeHeader(options));
  if (!options.if_match.empty()) request.headers.push_back("If-Match: \"" + options.if_match + "\"");
  uint64_t expected = 0;
  uint64_t received = 0;
  const ByteSink counting = [&](const char* data, std::size_t size) {
    received += size;
    sink(data, size);
  };
  request.sink = &counting;
  // A server that ignored the range would put the wrong bytes at the sink's offset.
  request.on_headers = [&](long status, const HeaderMap& headers) {
    const auto header = [&](const char* name) {
      const auto it = headers.find(name);
      return it != headers.end() ? it->second : std::string();
    };
    uint64_t first = 0, total = 0;
    if (ranged && (status != 206 || !ParseContentRange(header("content-range"), first, total) ||
                   first != options.offset)) {
      ErrorDetails details = context;
      details.http_status = status;
      details.message = "the server did not answer with the requested range (from byte " +
                        std::to_string(options.offset) + ")";
      throw TransientError(std::move(details));
    }
    if (!ParseCount(header("content-length"), expected)) expected = UINT64_MAX;
  };
  if (options.on_wire) request.on_wire = &options.on_wire;
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) Fail(response, context);
  ObjectInfo info = InfoFrom(response, context);
  if (received == 0) ParseCount(response.Header("content-length"), expected);
  if (received != expected) {
    ErrorDetails details = context;
    details.http_status = response.status;
    details.message = "received " + std::to_string(received) + " bytes of " + std::to_string(expected);
    throw TransientError(std::move(details));
  }
  return info;
}

PutResult Client::Put(const std::string& bucket, const std::string& key, const RequestBody& body,
                      const PutOptions& options) {
  const ErrorDetails context = Context("PutObject", bucket, key);
  Request request;
  request.method = "PUT";
  request.bucket = bucket;
  request.key = key;
  request.body = &body;
  // Bytes in memory are small: the server checks their hash. A file is streamed
  // unsigned and checked against the ETag afterwards.
  request.payload_hash = !body.sha256.empty() ? body.sha256
                         : body.fd < 0      ? Sha256Hex(body.memory.substr(0, body.length))
                                            : "UNSIGNED-PAYLOAD";
  request.headers.push_back("Content-Type: application/octet-stream");
  for (const auto& [name, value] : options.metadata) {
    CheckMetadata(name, value);
    request.headers.push_back("x-amz-meta-" + name + ": " + value);
  }
  if (options.create_only) request.headers.push_back("If-None-Match: *");
  // radosgw compares If-Match with the bare ETag, without its quotes.
  if (!options.if_match.empty()) request.headers.push_back("If-Match: " + options.if_match);
  if (options.on_wire) request.on_wire = &options.on_wire;
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) {
    if (options.create_only && response.status == 412) Fail(response, context, "an object with this key exists");
    if (!options.if_match.empty() && response.status == 412) Fail(response, context, "the object changed meanwhile");
    Fail(response, context);
  }
  const std::string etag = Unquote(response.Header("etag"));
  if (!body.sha256.empty()) return {etag, {}};
  try {
    CheckStoredBytes(response, etag, context);
  } catch (const TransientError&) {
    // Never leave bytes that differ from the source under the key.
    try {
      Delete(bucket, key);
    } catch (const TransferError&) {
    }
    throw;
  }
  return {etag, Hex(response.sent_md5)};
}

void Client::Delete(const std::string& bucket, const std::string& key) {
  const ErrorDetails context = Context("DeleteObject", bucket, key);
  Request request;
  request.method = "DELETE";
  request.bucket = bucket;
  request.key = key;
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) Fail(response, context);
}

std::string Client::CreateMultipartUpload(const std::string& bucket, const std::string& key,
                                          const Metadata& metadata) {
  const ErrorDetails context = Context("CreateMultipartUpload", bucket, key);
  Request request;
  request.method = "POST";
  request.bucket = bucket;
  request.key = key;
  request.query = {{"uploads", ""}};
  request.headers.push_back("Content-Type: application/octet-stream");
  for (const auto& [name, value] : metadata) {
    CheckMetadata(name, value);
    request.headers.push_back("x-amz-meta-" + name + ": " + value);
  }
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) Fail(response, context);
  try {
    return ParseUploadId(response.body);
  } catch (const MalformedAnswer& fault) {
    Fail(response, context, fault.what());
  }
}

UploadedPart Client::UploadPart(const std::string& bucket, const std::string& key, const std::string& upload_id,
                                int part_number, const RequestBody& body, const WireHook& on_wire) {
  ErrorDetails context = Context("UploadPart", bucket, key);
  context.operation += " " + std::to_string(part_number);
  if (part_number < 1 || part_number > 10000) {
    throw PermanentError(context.Text() + " part numbers run from 1 to 10000");
  }
  Request request;
  request.method = "PUT";
  request.bucket = bucket;
  request.key = key;
  request.query = {{"partNumber", std::to_string(part_number)}, {"uploadId", upload_id}};
  request.body = &body;
  request.payload_hash = body.sha256.empty() ? "UNSIGNED-PAYLOAD" : body.sha256;
  if (on_wire) request.on_wire = &on_wire;
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) Fail(response, context);
  const std::string etag = Unquote(response.Header("etag"));
  if (body.sha256.empty()) CheckStoredBytes(response, etag, context);  // a bad part is replaced when sent again
  return {part_number, etag, body.length};
}

ObjectInfo Client::CompleteMultipartUpload(const std::string& bucket, const std::string& key,
                                           const std::string& upload_id, std::vector<UploadedPart> parts,
                                           bool create_only) {
  const ErrorDetails context = Context("CompleteMultipartUpload", bucket, key);
  std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  std::string document = "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">";
  std::vector<std::string> etags;
  uint64_t size = 0;
  for (const auto& part : parts) {
    document += "<Part><PartNumber>" + std::to_string(part.number) + "</PartNumber><ETag>\"" + XmlEscape(part.etag) +
                "\"</ETag></Part>";
    etags.push_back(part.etag);
    size += part.size;
  }
  document += "</CompleteMultipartUpload>";
  const RequestBody body{-1, 0, document.size(), document, "the completion request"};

  Request request;
  request.method = "POST";
  request.bucket = bucket;
  request.key = key;
  request.query = {{"uploadId", upload_id}};
  request.body = &body;
  request.payload_hash = Sha256Hex(document);
  request.headers.push_back("Content-Type: application/xml");
  if (create_only) request.headers.push_back("If-None-Match: *");
  const HttpResponse response = Send(request, context);
  bool done_before = false;
  if (!Succeeded(response.status)) {
    const auto error = ParseErrorDocument(response.body);
    done_before = response.status == 404 && error && error->code == "NoSuchUpload";
    if (!done_before) Fail(response, context);
  } else {
    try {
      // A 200 answer may still carry an <Error> that arrived after the headers.
      if (const auto error = ParseCompletionError(response.body)) {
        ErrorDetails details = context;
        details.http_status = response.status;
        details.code = Clean(error->code);
        details.message = error->message.empty() ? DescribeCode(error->code) : Clean(error->message);
        ThrowS3Error(std::move(details));
      }
    } catch (const MalformedAnswer& fault) {
      Fail(response, context, fault.what());
    }
  }

  // The server's answer may lack the ETag: the stored object is the proof.
  const std::string expected = MultipartEtag(etags);
  const auto info = Head(bucket, key);
  const bool matches = info && info->size == size && (expected.empty() || info->etag == expected);
  if (!matches) {
    ErrorDetails details = context;
    details.message = !info ? "the object is missing after completion"
                            : "after completion the object has size " + std::to_string(info->size) + " and ETag " +
                                  info->etag + ", not " + std::to_string(size) + " and " + expected +
                                  " (another writer may have replaced it)";
    if (done_before && !info) details.message = DescribeCode("NoSuchUpload");
    throw RejectedError(std::move(details));
  }
  return *info;
}

void Client::AbortMultipartUpload(const std::string& bucket, const std::string& key, const std::string& upload_id) {
  const ErrorDetails context = Context("AbortMultipartUpload", bucket, key);
  Request request;
  request.method = "DELETE";
  request.bucket = bucket;
  request.key = key;
  request.query = {{"uploadId", upload_id}};
  const HttpResponse response = Send(request, context);
  if (Succeeded(response.status)) return;
  const auto error = ParseErrorDocument(response.body);
  if (response.status == 404 && error && error->code == "NoSuchUpload") return;
  Fail(response, context);
}

std::vector<PartInfo> Client::ListParts(const std::string& bucket, const std::string& key,
                                        const std::string& upload_id) {
  const ErrorDetails context = Context("ListParts", bucket, key);
  std::vector<PartInfo> parts;
  std::string marker;
  for (;;) {
    Request request;
    request.bucket = bucket;
    request.key = key;
    request.query = {{"uploadId", upload_id}};
    if (!marker.empty()) request.query.push_back({"part-number-marker", marker});
    const HttpResponse response = Send(request, context);
    if (!Succeeded(response.status)) {
      // radosgw says NoSuchKey for an upload that was completed or aborted.
      const auto error = ParseErrorDocument(response.body);
      if (response.status == 404 && error && error->code == "NoSuchKey") {
        ErrorDetails details = context;
        details.http_status = response.status;
        details.code = "NoSuchUpload";
        details.message = DescribeCode(details.code);
        throw RejectedError(std::move(details));
      }
      Fail(response, context);
    }
    PartsPage page;
    try {
      page = ParsePartsPage(response.body);
    } catch (const MalformedAnswer& fault) {
      Fail(response, context, fault.what());
    }
    parts.insert(parts.end(), page.parts.begin(), page.parts.end());
    if (!page.truncated) return parts;
    if (page.next_marker.empty() || page.next_marker == marker) Fail(response, context, "the part listing does not advance");
    marker = page.next_marker;
  }
}

std::vector<UploadInfo> Client::ListMultipartUploads(const std::string& bucket, const std::string& prefix) {
  const ErrorDetails context = Context("ListMultipartUploads", bucket, prefix);
  std::vector<UploadInfo> uploads;
  std::string key_marker, upload_id_marker;
  for (;;) {
    Request request;
    request.bucket = bucket;
    // Not encoding-type=url: radosgw 16 then encodes the keys without saying so.
    request.query = {{"uploads", ""}, {"prefix", prefix}};
    if (!key_marker.empty()) request.query.push_back({"key-marker", key_marker});
    if (!upload_id_marker.empty()) request.query.push_back({"upload-id-marker", upload_id_marker});
    const HttpResponse response = Send(request, context);
    if (!Succeeded(response.status)) Fail(response, context);
    UploadsPage page;
    try {
      page = ParseUploadsPage(response.body);
    } catch (const MalformedAnswer& fault) {
      Fail(response, context, fault.what());
    }
    uploads.insert(uploads.end(), page.uploads.begin(), page.uploads.end());
    if (!page.truncated) return uploads;
    if (page.next_key_marker == key_marker && page.next_upload_id_marker == upload_id_marker) {
      Fail(response, context, "the upload listing does not advance");
    }
    key_marker = page.next_key_marker;
    upload_id_marker = page.next_upload_id_marker;
  }
}

ObjectsPage Client::ListObjectsPage(const std::string& bucket, const std::string& prefix,
                                    const std::string& continuation_token, int max_keys) {
  const ErrorDetails context = Context("ListObjectsV2", bucket, prefix);
  Request request;
  request.bucket = bucket;
  request.query = {{"list-type", "2"}, {"prefix", prefix}, {"encoding-type", "url"},
                   {"max-keys", std::to_string(std::clamp(max_keys, 1, 1000))}};
  if (!continuation_token.empty()) request.query.push_back({"continuation-token", continuation_token});
  const HttpResponse response = Send(request, context);
  if (!Succeeded(response.status)) Fail(response, context);
  try {
    return ParseObjectsPage(response.body);
  } catch (const MalformedAnswer& fault) {
    Fail(response, context, fault.what());
  }
}

std::vector<ObjectSummary> Client::ListObjects(const std::string& bucket, const std::string& prefix) {
  std::vector<ObjectSummary> objects;
  std::string token;
  do {
    ObjectsPage page = ListObjectsPage(bucket, prefix, token);
    objects.insert(objects.end(), page.objects.begin(), page.objects.end());
    token = std::move(page.next_continuation_token);
  } while (!token.empty());
  return objects;
}

ByteSink WriteToFile(int fd, uint64_t offset, std::string name) {
  auto position = std::make_shared<uint64_t>(offset);
  return [fd, position, name = std::move(name)](const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(*position));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) throw TransferError(SystemErrorText("cannot write " + name, errno));
      data += written;
      size -= static_cast<std::size_t>(written);
      *position += static_cast<uint64_t>(written);
    }
  };
}

}  // namespace caddistransfer::s3
