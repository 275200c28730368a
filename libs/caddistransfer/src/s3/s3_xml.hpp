// The XML documents S3 answers with, read with libxml2 (no network, no entity
// expansion). Elements are matched by local name, so the S3 namespace is optional.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace caddistransfer::s3 {

using TimePoint = std::chrono::system_clock::time_point;

// An answer that is not the document the request expects.
class MalformedAnswer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ErrorDocument {
  std::string code;
  std::string message;
};

struct PartInfo {
  int number = 0;
  std::string etag;  // without quotes
  uint64_t size = 0;
  TimePoint last_modified;
};

struct PartsPage {
  std::vector<PartInfo> parts;
  bool truncated = false;
  std::string next_marker;
};

struct UploadInfo {
  std::string key;
  std::string upload_id;
  TimePoint initiated;
};

struct UploadsPage {
  std::vector<UploadInfo> uploads;
  bool truncated = false;
  std::string next_key_marker;
  std::string next_upload_id_marker;
};

struct ObjectSummary {
  std::string key;
  uint64_t size = 0;
  std::string etag;  // without quotes
  TimePoint last_modified;
};

struct ObjectsPage {
  std::vector<ObjectSummary> objects;
  std::string next_continuation_token;  // empty on the last page
};

// nullopt when the body is not an <Error> document (an empty body, HTML from a proxy).
std::optional<ErrorDocument> ParseErrorDocument(std::string_view body);
std::string ParseUploadId(std::string_view body);
// CompleteMultipartUpload may answer 200 with an <Error> inside: nullopt when it did not.
std::optional<ErrorDocument> ParseCompletionError(std::string_view body);
PartsPage ParsePartsPage(std::string_view body);
// Keys come percent-encoded when the request asked for encoding-type=url and the
// server says it obliged.
UploadsPage ParseUploadsPage(std::string_view body);
ObjectsPage ParseObjectsPage(std::string_view body);

// "2026-12-08T10:01:56.123Z" (fractions ignored); nullopt for another form.
std::optional<TimePoint> ParseIsoTime(const std::string& text);

}  // namespace caddistransfer::s3
