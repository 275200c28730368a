#include "s3_error.hpp"

#include <array>
#include <utility>

namespace caddistransfer::s3 {

std::string ErrorDetails::Text() const {
  std::string text = operation + " " + resource + " at " + endpoint + ":";
  if (!code.empty()) text += " " + code;
  if (http_status != 0) text += " (HTTP " + std::to_string(http_status) + ")";
  if (!message.empty()) text += (code.empty() && http_status == 0 ? " " : ": ") + message;
  return text;
}

const ErrorDetails* DetailsOf(const std::exception& error) {
  const auto* detailed = dynamic_cast<const DetailedError*>(&error);
  return detailed != nullptr ? &detailed->details() : nullptr;
}

bool IsTransient(long http_status, const std::string& code) {
  if (http_status == 0) return true;  // no answer: connection refused, reset, timed out
  if (code == "RequestTimeout" || code == "SlowDown" || code == "InternalError" || code == "ServiceUnavailable") {
    return true;
  }
  return http_status == 408 || http_status == 429 || http_status >= 500;
}

std::string DescribeCode(const std::string& code) {
  static constexpr std::array<std::pair<const char*, const char*>, 15> kDescriptions{{
      {"AccessDenied", "access denied"},
      {"BadDigest", "the bytes the server received differ from the bytes sent"},
      {"EntityTooSmall", "a part other than the last is smaller than the server's minimum part size"},
      {"InvalidAccessKeyId", "the server does not know this access key"},
      {"InvalidBucketName", "the bucket name is not valid"},
      {"InvalidPart", "a listed part was not uploaded or its ETag differs"},
      {"InvalidRange", "the requested range lies outside the object"},
      {"NoSuchBucket", "the bucket does not exist"},
      {"NoSuchKey", "the object does not exist"},
      {"NoSuchUpload", "the multipart upload does not exist (completed or aborted)"},
      {"PreconditionFailed", "a condition of the request did not hold"},
      {"QuotaExceeded", "the storage quota is used up"},
      {"RequestTimeTooSkewed", "this computer's clock differs too much from the server's"},
      {"SignatureDoesNotMatch", "the request signature does not match: check the secret key"},
      {"XAmzContentSHA256Mismatch", "the payload hash differs from the bytes received"},
  }};
  for (const auto& [name, description] : kDescriptions) {
    if (code == name) return description;
  }
  return {};
}

void ThrowS3Error(ErrorDetails details) {
  if (IsTransient(details.http_status, details.code)) throw TransientError(std::move(details));
  throw RejectedError(std::move(details));
}

}  // namespace caddistransfer::s3
