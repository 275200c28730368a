// Failures of S3 requests. Each carries what a user needs to act on it: the operation,
// the object, the endpoint, S3's own error code and message (or the connection
// failure) and the HTTP status. The secret key never appears in any of them.
#pragma once

#include <exception>
#include <string>

#include "error.hpp"

namespace caddistransfer::s3 {

struct ErrorDetails {
  std::string operation;  // S3 API name: "PutObject", "UploadPart", ...
  std::string resource;   // "s3://bucket/key" or "s3://bucket"
  std::string endpoint;   // "https://host:port"
  long http_status = 0;   // 0 when no answer came
  std::string code;       // S3's error code ("NoSuchBucket"), or empty
  std::string message;    // S3's message, a description of the code, or the connection failure

  // "PutObject s3://bucket/key at http://127.0.0.1:7480: NoSuchBucket (HTTP 404): the bucket does not exist"
  std::string Text() const;
};

// Both kinds of failure carry the details; only the base class differs, so the retry
// loop (WithRetries) tries again after a TransientError and never after a RejectedError.
class DetailedError {
 public:
  explicit DetailedError(ErrorDetails details) : details_(std::move(details)) {}
  virtual ~DetailedError() = default;
  const ErrorDetails& details() const { return details_; }

 private:
  ErrorDetails details_;
};

// The server was unreachable, overloaded or failed internally: trying again may pass.
class TransientError : public TransferError, public DetailedError {
 public:
  explicit TransientError(ErrorDetails details) : TransferError(details.Text()), DetailedError(std::move(details)) {}
};

// The server refused the request (credentials, missing bucket, failed condition...).
class RejectedError : public PermanentError, public DetailedError {
 public:
  explicit RejectedError(ErrorDetails details) : PermanentError(details.Text()), DetailedError(std::move(details)) {}
};

// The details of an S3 failure, or nullptr for any other exception.
const ErrorDetails* DetailsOf(const std::exception& error);

// Whether a request that got this answer may pass when sent again.
bool IsTransient(long http_status, const std::string& code);

// A short explanation of a common S3 error code, or "" (some servers send no message).
std::string DescribeCode(const std::string& code);

// Throws TransientError or RejectedError, as IsTransient decides.
[[noreturn]] void ThrowS3Error(ErrorDetails details);

}  // namespace caddistransfer::s3
