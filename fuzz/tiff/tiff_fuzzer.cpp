// Compresses a fuzzed TIFF and decompresses it again: whatever the reader makes of the
// bytes, the restored file must equal the input, or compression must refuse the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"

namespace {

std::filesystem::path WorkDir() {
  static const std::filesystem::path dir = [] {
    auto made = std::filesystem::temp_directory_path() / ("tarn-tiff-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(made);
    TarnSetLogLevel(6);  // off: the fuzzer's own output stays readable
    return made;
  }();
  return dir;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto source = WorkDir() / "input.tif";
  const auto compressed = WorkDir() / "input.tif.nivra";
  const auto restored = WorkDir() / "restored.tif";
  {
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::filesystem::remove(compressed);
  std::filesystem::remove(restored);
  if (TarnCompressFile(source.c_str(), compressed.c_str(), nullptr) != kTarnStatusOk) {
    // A refused file must not leave a partial output behind.
    if (std::filesystem::exists(compressed)) std::abort();
    return 0;
  }
  if (TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr) != kTarnStatusOk) std::abort();
  // An already encoded TIFF restores to its decoded form by design; everything else byte for byte.
  if (ReadAll(restored) != std::string(reinterpret_cast<const char*>(data), size) &&
      !tarn::Metadata::Read(source).IsNivraTiff()) {
    std::abort();
  }
  return 0;
}
