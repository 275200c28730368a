// What a prepare that found no calibration looked for, and where.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarn::cli {

// The identifier (the given one, else those the file's images carry), whether it is
// loaded, the folders and files searched, and how to make a calibration.
std::string MissingCalibrationHint(const std::string& source, const std::optional<std::string>& calibration_id,
                                   const std::vector<std::string>& calibration_paths);

}  // namespace tarn::cli
