// Exceptions that travel inside libtarn; the C functions turn them into statuses.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

#include "nivra/nivra.hpp"
#include "tarn/file/metadata/chunk/codec/codec.hpp"
#include "tarn/tarn.h"

namespace tarn {

extern const std::map<TarnStatus, std::string> kTarnStatusDescriptions;

// The reason the calling thread's latest call of a C function failed, as it was logged
// (e.g. "could not write out.nivra: No space left on device"); empty when that call
// succeeded. For programs that show the reason next to the status text.
std::string LastErrorMessage();
// Records `text` as the calling thread's latest failure (the C functions do).
void SetLastErrorMessage(std::string text);

class Error : public std::runtime_error {
 public:
  Error(const std::string& text, TarnStatus status);
  explicit Error(const Brimlake::Nivra::NivraError& error);
  TarnStatus status() const noexcept { return status_; }

 private:
  TarnStatus status_;
};

class EncodeError : public Error {
 public:
  EncodeError(const std::string& text, Codec codec, const TarnStatus& status);
  explicit EncodeError(const bm_status& status);  // Nivra, bm_status_description(status)
  explicit EncodeError(const Brimlake::Nivra::NivraError& error);
};

class DecodeError : public Error {
 public:
  DecodeError(const std::string& text, Codec codec, const TarnStatus& status);
  explicit DecodeError(const bm_status& status);
  explicit DecodeError(const Brimlake::Nivra::NivraError& error);
};

class PrepareError : public Error {
 public:
  PrepareError(const std::string& text, TarnStatus status);
  explicit PrepareError(const Brimlake::Nivra::NivraError& error);
};

class PrepareAndEncodeError : public Error {
 public:
  PrepareAndEncodeError(const std::string& text, TarnStatus status);
  explicit PrepareAndEncodeError(const Brimlake::Nivra::NivraError& error);
};

class bad_metadata : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

class implementation_error : public std::runtime_error {
 public:
  explicit implementation_error(const std::string& text);  // "implementation error: " + text
};

}  // namespace tarn
