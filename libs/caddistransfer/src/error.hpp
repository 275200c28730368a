// Failures inside the library travel as exceptions; the C interface turns them into messages.
#pragma once

#include <stdexcept>
#include <string>

namespace caddistransfer {

// A failure that may pass when tried again (I/O on a storage, a busy file system).
class TransferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure that trying again cannot fix (bad arguments, unknown names, refused paths).
class PermanentError : public TransferError {
 public:
  using TransferError::TransferError;
};

// The source file, or compressing it, failed: no storage and no retry can help.
class SourceError : public PermanentError {
 public:
  using PermanentError::PermanentError;
};

// Stored bytes that do not restore to what was uploaded (or cannot be checked).
class IntegrityError : public PermanentError {
 public:
  using PermanentError::PermanentError;
};

// "what: strerror(errno)" for a failed system call.
std::string SystemErrorText(const std::string& what, int error_number);

}  // namespace caddistransfer
