// Status codes and their fixed description texts.
#include <map>

#include "nivra/nivra.hpp"

namespace {

const std::map<bm_status, const char*> kDescriptions = {
    {BM_OK, "Ok."},
    {BM_MEMORY_ALLOCATION_FAILED, "Memory allocation failed."},
    {BM_MISSING_INITIALIZATION, "Missing initialization."},
    {BM_UNKNOWN_ERROR, "Unknown error."},
    {BM_COULD_NOT_READ_FILE, "Could not read file."},
    {BM_COULD_NOT_WRITE_FILE, "Could not write file."},
    {BM_INVALID_FILE_CONTENT, "Invalid file content."},
    {BM_NO_PARAMETERS_FOR_IDENTIFIER, "No parameters for given identifier."},
    {BM_PARAMETERS_NOT_USABLE, "Parameters cannot be used in given context"},
    {BM_TOO_FEW_PIXELS, "Image has too few pixels for reliable preparation."},
    {BM_PARAMETER_OUT_OF_RANGE, "Parameter is out of range."},
    {BM_INCOMPATIBLE_IMAGE, "The image data is invalid or not compatible with nivra compression."},
    {BM_NO_SUCH_CFA, "No CFA enum exists with the given string."},
};

}  // namespace

extern "C" const char* bm_status_description(bm_status status) {
  auto it = kDescriptions.find(status);
  return it != kDescriptions.end() ? it->second : kDescriptions.at(BM_UNKNOWN_ERROR);
}

namespace Brimlake::Nivra {

NivraError::NivraError(bm_status status, const std::string& message)
    : std::runtime_error(message), status_(status) {}

NivraError::NivraError(bm_status status) : NivraError(status, bm_status_description(status)) {}

}  // namespace Brimlake::Nivra
