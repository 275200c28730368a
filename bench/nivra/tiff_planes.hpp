// The 16-bit single-sample planes of the real sample files.
#pragma once

#include <filesystem>
#include <vector>

#include "reference_codecs.hpp"

namespace nivra_bench {

// First plane of every 16-bit, one-sample TIFF in the folder (others are skipped).
std::vector<Image> ReadTiffPlanes(const std::filesystem::path& folder);

}  // namespace nivra_bench
