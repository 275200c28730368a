// For every ND2 and CZI sample: compression ratio and speed of the `tarn`
// command against the `zstd` command (level 3) on the whole file, best of three
// runs, plus a byte-for-byte check of tarn's round trip.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 3;

// Best wall time of `command` in seconds, or a negative value when it fails.
double BestSeconds(const std::string& command) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path fixtures = argc > 1 ? argv[1] : TARN_FIXTURES_DIR;
  const fs::path tarn = argc > 2 ? argv[2] : TARN_TOOL_PATH;
  if (!fs::is_directory(fixtures) || !fs::exists(tarn)) {
    std::fprintf(stderr, "needs the sample folder (%s) and the tarn command (%s)\n", fixtures.c_str(), tarn.c_str());
    return 1;
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fixtures)) {
    const auto extension = entry.path().extension();
    if (extension == ".nd2" || extension == ".czi") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  const fs::path scratch = fs::temp_directory_path() / ("tarn-micro-bench-" + std::to_string(::getpid()));
  fs::create_directories(scratch);

  std::printf("%-56s %8s | %7s %8s | %7s %8s | %s\n", "file", "MB", "tarn", "MB/s", "zstd", "MB/s", "round trip");
  uint64_t total_in = 0, total_tarn = 0, total_zstd = 0;
  double total_tarn_s = 0, total_zstd_s = 0;
  bool all_ok = true;
  for (const auto& file : files) {
    const auto packed = scratch / (file.filename().string() + ".nivra");
    const auto restored = scratch / file.filename();
    const auto zst = scratch / (file.filename().string() + ".zst");
    const double tarn_s = BestSeconds(Quoted(tarn) + " compress -q -q -f -o " + Quoted(packed) + " " + Quoted(file));
    const double zstd_s = BestSeconds("zstd -q -f -3 -o " + Quoted(zst) + " " + Quoted(file));
    const bool restored_ok =
        tarn_s >= 0 &&
        std::system((Quoted(tarn) + " decompress -q -q -f -o " + Quoted(restored) + " " + Quoted(packed)).c_str()) == 0 &&
        Contents(restored) == Contents(file);
    all_ok = all_ok && restored_ok;
    const uint64_t size = fs::file_size(file);
    const uint64_t tarn_size = tarn_s >= 0 ? fs::file_size(packed) : 0;
    const uint64_t zstd_size = zstd_s >= 0 ? fs::file_size(zst) : 0;
    const double mb = size / 1e6;
    std::printf("%-56s %8.2f | %7.3f %8.1f | %7.3f %8.1f | %s\n", file.filename().c_str(), mb,
                tarn_size ? double(size) / tarn_size : 0.0, tarn_s > 0 ? mb / tarn_s : 0.0,
                zstd_size ? double(size) / zstd_size : 0.0, zstd_s > 0 ? mb / zstd_s : 0.0,
                restored_ok ? "identical" : "FAILED");
    total_in += size;
    total_tarn += tarn_size;
    total_zstd += zstd_size;
    total_tarn_s += std::max(tarn_s, 0.0);
    total_zstd_s += std::max(zstd_s, 0.0);
  }
  const double mb = total_in / 1e6;
  std::printf("%-56s %8.2f | %7.3f %8.1f | %7.3f %8.1f | %s\n", "all", mb,
              total_tarn ? double(total_in) / total_tarn : 0.0, total_tarn_s > 0 ? mb / total_tarn_s : 0.0,
              total_zstd ? double(total_in) / total_zstd : 0.0, total_zstd_s > 0 ? mb / total_zstd_s : 0.0,
              all_ok ? "identical" : "FAILED");
  std::printf("(speeds include starting each process; ratios are source size / output size)\n");
  fs::remove_all(scratch);
  return all_ok ? 0 : 1;
}
