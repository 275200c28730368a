// What the S3 benchmarks share: the server the tests use, a file of random bytes, CPU time.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "s3/s3_storage_entry.hpp"

namespace s3_bench {

// User plus system CPU seconds of this process.
inline double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figure {
  double seconds = 0;
  double cpu = 0;
};

// The server scripts/s3-test-server.sh started, named by TARN_S3_TEST_ENV as for the tests.
inline std::optional<caddistransfer::s3::StorageEntry> ServerFromEnvironment() {
  const char* env = std::getenv("TARN_S3_TEST_ENV");
  if (env == nullptr) {
    std::fprintf(stderr, "set TARN_S3_TEST_ENV to the file scripts/s3-test-server.sh writes\n");
    return std::nullopt;
  }
  std::stringstream text;
  text << std::ifstream(env).rdbuf();
  return caddistransfer::s3::ParseStorageEntryText(text.str(), env);
}

// `mib` MiB of random bytes, the same for every run.
inline void WriteRandomFile(const std::filesystem::path& path, uint64_t mib) {
  std::vector<uint64_t> block(1 << 17);
  std::mt19937_64 random(7);
  std::ofstream out(path, std::ios::binary);
  for (uint64_t written = 0; written < (mib << 20); written += block.size() * 8) {
    for (auto& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
}

inline bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
  return std::system(("cmp -s '" + a.string() + "' '" + b.string() + "'").c_str()) == 0;
}

}  // namespace s3_bench
