// Compresses the fuzz input as a file of the given extension, decompresses the
// result, and aborts unless the original bytes come back.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "tarn/tarn.h"

namespace tarn::fuzz {

inline int RoundTrip(const uint8_t* data, size_t size, const std::string& extension) {
  static const bool quiet = (TarnSetLogLevel(6), true);
  (void)quiet;
  if (size == 0) return 0;  // empty sources are refused by design
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() / ("tarn-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  const auto source = folder / ("input" + extension);
  const auto compressed = folder / "input.nivra";
  const auto restored = folder / ("restored" + extension);
  std::filesystem::remove(compressed);
  std::filesystem::remove(restored);
  std::ofstream(source, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);

  if (TarnCompressFile(source.c_str(), compressed.c_str(), nullptr) != kTarnStatusOk) std::abort();
  if (TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr) != kTarnStatusOk) std::abort();
  std::ifstream in(restored, std::ios::binary);
  const std::string back{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (back.size() != size || !std::equal(back.begin(), back.end(), reinterpret_cast<const char*>(data))) {
    std::abort();
  }
  return 0;
}

}  // namespace tarn::fuzz
