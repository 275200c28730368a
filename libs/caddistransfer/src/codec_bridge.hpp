// The calls into libtarn: compression for uploads, restoration for downloads and
// the codec library's calibration registry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace caddistransfer {

// Compressed output of `source` at `destination`; with a calibration id the images
// are prepared with that camera's calibration first. Throws PermanentError.
void CompressForUpload(const std::filesystem::path& source, const std::filesystem::path& destination,
                       const std::optional<std::string>& calibration_id);
// `source` must end in ".nivra". Throws PermanentError.
void RestoreDownload(const std::filesystem::path& source, const std::filesystem::path& destination);

uint64_t LoadDefaultCalibrations();
uint64_t LoadCalibrations(const char* path);
void ClearCalibrations();

}  // namespace caddistransfer
