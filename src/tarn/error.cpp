// Status texts and the exception classes that carry a status through the library.
#include "tarn/error.hpp"

#include <fmt/format.h>

namespace tarn {

const std::map<TarnStatus, std::string> kTarnStatusDescriptions = {
    {kTarnStatusOk, "Ok."},
    {kTarnStatusMemoryAllocationFailed, "Memory allocation failed."},
    {kTarnStatusMissingInitialization, "Missing initialization."},
    {kTarnStatusUnknownError, "Unknown error."},
    {kTarnStatusCouldNotReadFile, "Could not read file."},
    {kTarnStatusCouldNotWriteFile, "Could not write file."},
    {kTarnStatusInvalidFileContent, "Invalid file content."},
    {kTarnStatusNoParametersForIdentifier, "No parameters for given identifier."},
    {kTarnStatusParametersNotUsable, "Parameters cannot be used in given context"},
    {kTarnStatusTooFewPixels, "Image has too few pixels for reliable preparation."},
    {kTarnStatusParameterOutOfRange, "Parameter is out of range."},
    {kTarnStatusIncompatibleImage, "The image data is invalid or not compatible with nivra compression."},
    {kTarnStatusNoSuchCfa, "No CFA enum exists with the given string."},
    {kTarnStatusStopped, "Operation stopped."},
};

namespace {

thread_local std::string last_error_message;

std::string CodecMessage(Codec codec, std::string_view what, const std::string& text) {
  return fmt::format("{} {} error: {}", CodecName(codec), what, text);
}

}  // namespace

std::string LastErrorMessage() { return last_error_message; }

void SetLastErrorMessage(std::string text) { last_error_message = std::move(text); }

Error::Error(const std::string& text, TarnStatus status) : std::runtime_error(text), status_(status) {}

Error::Error(const Brimlake::Nivra::NivraError& error)
    : std::runtime_error(error.what()), status_(static_cast<TarnStatus>(error.status())) {}

EncodeError::EncodeError(const std::string& text, Codec codec, const TarnStatus& status)
    : Error(CodecMessage(codec, "encoder", text), status) {}

EncodeError::EncodeError(const bm_status& status)
    : EncodeError(bm_status_description(status), Codec::Nivra, static_cast<TarnStatus>(status)) {}

EncodeError::EncodeError(const Brimlake::Nivra::NivraError& error) : Error(error) {}

DecodeError::DecodeError(const std::string& text, Codec codec, const TarnStatus& status)
    : Error(CodecMessage(codec, "decoder", text), status) {}

DecodeError::DecodeError(const bm_status& status)
    : DecodeError(bm_status_description(status), Codec::Nivra, static_cast<TarnStatus>(status)) {}

DecodeError::DecodeError(const Brimlake::Nivra::NivraError& error) : Error(error) {}

PrepareError::PrepareError(const std::string& text, TarnStatus status) : Error(text, status) {}

PrepareError::PrepareError(const Brimlake::Nivra::NivraError& error) : Error(error) {}

PrepareAndEncodeError::PrepareAndEncodeError(const std::string& text, TarnStatus status) : Error(text, status) {}

PrepareAndEncodeError::PrepareAndEncodeError(const Brimlake::Nivra::NivraError& error) : Error(error) {}

implementation_error::implementation_error(const std::string& text)
    : std::runtime_error("implementation error: " + text) {}

}  // namespace tarn
