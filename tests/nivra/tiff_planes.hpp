// The 16-bit single-sample planes of the real sample files, for the tests and the benchmark.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace nivra_test {

struct Image {
  std::string name;
  uint32_t width = 0, height = 0;
  std::vector<uint16_t> pixels;
};

// First plane of every 16-bit, one-sample TIFF in the folder (others are skipped).
std::vector<Image> ReadTiffPlanes(const std::filesystem::path& folder);

}  // namespace nivra_test
