// `tarn info`: the chunk table of compressed files, for people or as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include "console.hpp"

namespace tarn::cli {

// Prints one table per file to standard output, or with `json` one JSON array holding an
// object per file. Returns how many files could not be read (each named on standard error).
size_t PrintInfo(const std::vector<std::string>& paths, bool json, Console& console);

}  // namespace tarn::cli
