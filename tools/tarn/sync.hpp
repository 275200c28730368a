// Making a finished output durable before its source may go.
#pragma once

#include <filesystem>
#include <system_error>

namespace tarn::cli {

// fsync of the file, then of the folder holding its name.
std::error_code SyncFileAndFolder(const std::filesystem::path& file);

}  // namespace tarn::cli
