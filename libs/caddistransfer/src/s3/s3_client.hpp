// A client for S3-compatible object storage: path-style requests
// (http(s)://host:port/bucket/key) signed with AWS Signature V4, TLS verified for https.
//
// Every call may run on any thread at the same time. Failures throw TransientError
// (worth retrying) or RejectedError (not), both naming the operation, the object, the
// endpoint and S3's error code and message; a failed read of a local file or an
// exception from a sink or wire hook passes through unchanged.
//
// Bytes sent are checked against the ETag the server answers with where the ETag is an
// MD5 (objects and parts stored without KMS or customer-key encryption): a mismatch
// throws TransientError. A body that carries its SHA-256 is signed with it instead, and
// the server checks it. A completed multipart upload is checked by size and by its
// "<md5 of part md5s>-<parts>" ETag.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "s3_error.hpp"
#include "s3_http.hpp"
#include "s3_xml.hpp"

namespace caddistransfer::s3 {

struct ClientSettings {
  std::string endpoint;  // "https://host[:port]"; plain http is for trusted networks
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key;
  std::string ca_file;  // PEM file of extra trusted authorities, or empty for the system's
  // A request during which no byte moves either way for this long fails (TransientError):
  // a server that accepts connections but stopped answering (a full cluster pauses its
  // writes) must not hold a transfer for ever.
  std::chrono::milliseconds stall_timeout = std::chrono::seconds(120);
};

// x-amz-meta-<name> -> value; names a-z, 0-9 and '-', values printable ASCII.
using Metadata = std::map<std::string, std::string>;

struct ObjectInfo {
  uint64_t size = 0;
  std::string etag;  // without quotes
  TimePoint last_modified;
  Metadata metadata;
};

struct PutOptions {
  Metadata metadata;
  // Create only: fails with PreconditionFailed when the key exists (If-None-Match: *).
  bool create_only = false;
  // Replace only: fails with PreconditionFailed unless the object has this ETag.
  std::string if_match;
  WireHook on_wire;  // called with each run of bytes before it is sent
};

struct PutResult {
  std::string etag;
  std::string md5;  // hex MD5 of the bytes sent
};

struct GetOptions {
  uint64_t offset = 0;
  std::optional<uint64_t> length;  // to the end of the object when missing
  std::string if_match;            // ETag the object must still have (for resumed downloads)
  WireHook on_wire;                // called with each run of bytes as it arrives
};

struct UploadedPart {
  int number = 0;
  std::string etag;
  uint64_t size = 0;
};

class Client {
 public:
  // Refuses (PermanentError) an endpoint that is not http(s)://host[:port].
  explicit Client(ClientSettings settings);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const std::string& endpoint() const;

  // nullopt when the object does not exist; a missing bucket and every other refusal
  // throw with S3's own error code.
  std::optional<ObjectInfo> Head(const std::string& bucket, const std::string& key);
  // Streams the object (or the range) to the sink; returns the whole object's info.
  ObjectInfo Get(const std::string& bucket, const std::string& key, const ByteSink& sink,
                 const GetOptions& options = {});
  PutResult Put(const std::string& bucket, const std::string& key, const RequestBody& body,
                const PutOptions& options = {});
  // Succeeds also when the object does not exist.
  void Delete(const std::string& bucket, const std::string& key);

  std::string CreateMultipartUpload(const std::string& bucket, const std::string& key,
                                    const Metadata& metadata = {});
  UploadedPart UploadPart(const std::string& bucket, const std::string& key, const std::string& upload_id,
                          int part_number, const RequestBody& body, const WireHook& on_wire = {});
  // Completes with the parts in part-number order and returns the stored object's info
  // once its size and ETag match the parts. A completion that the server had already
  // carried out (a retried request) counts as done when the object matches.
  // create_only sends If-None-Match: *, which some servers ignore on this request.
  ObjectInfo CompleteMultipartUpload(const std::string& bucket, const std::string& key, const std::string& upload_id,
                                     std::vector<UploadedPart> parts, bool create_only = false);
  // Succeeds also when the upload no longer exists.
  void AbortMultipartUpload(const std::string& bucket, const std::string& key, const std::string& upload_id);
  // An upload that no longer exists fails with the code NoSuchUpload on every server.
  std::vector<PartInfo> ListParts(const std::string& bucket, const std::string& key, const std::string& upload_id);
  std::vector<UploadInfo> ListMultipartUploads(const std::string& bucket, const std::string& prefix);

  // One page of up to max_keys objects whose keys start with prefix; pass the page's
  // next_continuation_token to get the next one.
  ObjectsPage ListObjectsPage(const std::string& bucket, const std::string& prefix,
                              const std::string& continuation_token = {}, int max_keys = 1000);
  std::vector<ObjectSummary> ListObjects(const std::string& bucket, const std::string& prefix);

 private:
  struct Request;
  HttpResponse Send(const Request& request, const ErrorDetails& context);
  [[noreturn]] void Fail(const HttpResponse& response, ErrorDetails context, const std::string& explanation = {});
  ErrorDetails Context(const char* operation, const std::string& bucket, const std::string& key = {}) const;
  ObjectInfo InfoFrom(const HttpResponse& response, const ErrorDetails& context) const;
  void CheckStoredBytes(const HttpResponse& response, const std::string& etag, const ErrorDetails& context);

  ClientSettings settings_;
  std::unique_ptr<HttpClient> http_;
};

// A sink that writes what arrives to fd from offset on (pwrite); `name` is the file's
// name for messages.
ByteSink WriteToFile(int fd, uint64_t offset, std::string name);

}  // namespace caddistransfer::s3
