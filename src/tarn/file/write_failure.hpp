// Operating-system failures while writing an output: status 6 with the path and the
// system's reason, e.g. "could not write out.nivra: No space left on device".
#pragma once

#include <filesystem>
#include <string_view>

namespace tarn {

// Throws tarn::Error (kTarnStatusCouldNotWriteFile) with "<action> <path>: <strerror(error_number)>".
[[noreturn]] void ThrowWriteFailure(std::string_view action, const std::filesystem::path& path, int error_number);

}  // namespace tarn
