// Helpers shared by the libtarn tests: temporary folders, file contents, test data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarn::test {

// A fresh folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() / ("tarn-test-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    // Read-only folders made by a test must not survive it.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Deterministic bytes that do not compress.
inline std::string RandomBytes(size_t count, uint32_t seed = 1) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// Bytes that compress well but are not a single repeated value.
inline std::string TextLikeBytes(size_t count) {
  std::string bytes;
  bytes.reserve(count);
  for (size_t i = 0; bytes.size() < count; ++i) bytes += "line " + std::to_string(i % 1000) + " of sample text\n";
  bytes.resize(count);
  return bytes;
}

// The shared real sample files, or an empty path when they are absent.
inline std::filesystem::path FixturesDir() {
#ifdef TARN_FIXTURES_DIR
  if (std::filesystem::is_directory(TARN_FIXTURES_DIR)) return TARN_FIXTURES_DIR;
#endif
  if (std::filesystem::is_directory("../shared/fixtures/real")) return "../shared/fixtures/real";
  return {};
}

}  // namespace tarn::test
