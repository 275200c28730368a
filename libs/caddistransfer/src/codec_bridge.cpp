#include "codec_bridge.hpp"

#include "error.hpp"
#include "nivra/nivra.hpp"
#include "tarn/tarn.h"

namespace caddistransfer {

namespace {

void CheckStatus(TarnStatus status, const std::string& what) {
  if (status != kTarnStatusOk) {
    throw PermanentError(what + " failed: " + TarnStatusDescription(status) + " (status " +
                         std::to_string(static_cast<int>(status)) + ")");
  }
}

uint64_t Count(int count) { return count > 0 ? static_cast<uint64_t>(count) : 0; }

}  // namespace

void CompressForUpload(const std::filesystem::path& source, const std::filesystem::path& destination,
                       const std::optional<std::string>& calibration_id) {
  if (calibration_id) {
    // Asked for a calibration that is not there: refuse rather than store the images unprepared.
    if (!Brimlake::Nivra::ParameterRegistry::get_parameters(*calibration_id)) {
      throw PermanentError("no calibration '" + *calibration_id + "' is loaded; load its calibration file first");
    }
    CheckStatus(TarnPrepareAndCompressFile(source.c_str(), destination.c_str(), calibration_id->c_str(), nullptr),
                "preparing and compressing " + source.string() + " with calibration '" + *calibration_id + "'");
  } else {
    CheckStatus(TarnCompressFile(source.c_str(), destination.c_str(), nullptr), "compressing " + source.string());
  }
}

void RestoreDownload(const std::filesystem::path& source, const std::filesystem::path& destination) {
  CheckStatus(TarnDecompressFile(source.c_str(), destination.c_str(), nullptr),
              "decompressing " + source.filename().string());
}

uint64_t LoadDefaultCalibrations() { return Count(TarnCalibrationRegistryDefaultInitialize()); }

uint64_t LoadCalibrations(const char* path) { return Count(TarnCalibrationRegistryLoadPath(path)); }

void ClearCalibrations() { TarnCalibrationRegistryClear(); }

}  // namespace caddistransfer
