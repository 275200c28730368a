// Compresses and restores one generated file of mixed data with the `tarn` command and
// with the `zstd` command (default level) in the same run, and prints throughput, ratio
// and peak memory of each. Each figure is the best of several runs, since the machine
// may be shared. Usage: tarn_bench [size in MiB, default 1024] [work folder] [runs, default 3].
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace {

namespace fs = std::filesystem;

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system, all threads
  long peak_kib = 0;
  int status = -1;
};

// Runs a program and reports its wall time and peak resident memory.
Measure Run(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
  return {std::chrono::duration<double>(end - start).count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
          usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Stretches of the kinds of bytes image files hold: noisy 16-bit pixels, smooth
// gradients, text-like metadata, zero padding and incompressible (already coded) data.
void WriteMixedFile(const fs::path& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint8_t> block(1 << 20);
  uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (uint64_t written = 0, index = 0; written < size; ++index) {
    switch (index % 5) {
      case 0:  // 12-bit noisy pixels around a slowly changing level
        for (size_t i = 0; i + 1 < block.size(); i += 2) {
          const uint16_t value = static_cast<uint16_t>(400 + (i >> 12) + (next() & 0x3f));
          block[i] = static_cast<uint8_t>(value);
          block[i + 1] = static_cast<uint8_t>(value >> 8);
        }
        break;
      case 1:  // smooth gradient
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>((i / 4096 + index) & 0xff);
        break;
      case 2: {  // text
        std::string text;
        for (size_t line = 0; text.size() < block.size(); ++line) {
          text += fmt::format("<Tag id=\"{}\" value=\"{}\"/>\n", line % 977, next() % 100000);
        }
        std::copy_n(text.begin(), block.size(), block.begin());
        break;
      }
      case 3:  // padding
        std::fill(block.begin(), block.end(), 0);
        break;
      default:  // already compressed
        for (size_t i = 0; i < block.size(); i += 8) {
          const uint64_t value = next();
          for (size_t b = 0; b < 8; ++b) block[i + b] = static_cast<uint8_t>(value >> (8 * b));
        }
    }
    const uint64_t count = std::min<uint64_t>(block.size(), size - written);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
    written += count;
  }
}

// Keeps the fastest run and the largest memory peak of all runs.
void Best(Measure& best, const Measure& run) {
  const long peak = std::max(best.peak_kib, run.peak_kib);
  if (best.status != 0 || (run.status == 0 && run.seconds < best.seconds)) best = run;
  best.peak_kib = peak;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  return Run({"cmp", "-s", a.string(), b.string()}).status == 0;
}

void Print(const char* what, uint64_t bytes, const Measure& measure) {
  fmt::print("{:<22} {:>8.1f} MB/s  {:>7.2f} s  cpu {:>6.2f} s  peak RSS {:>7.1f} MiB{}\n", what,
             static_cast<double>(bytes) / 1e6 / measure.seconds, measure.seconds, measure.cpu_seconds,
             static_cast<double>(measure.peak_kib) / 1024.0, measure.status == 0 ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "tarn-bench";
  fs::create_directories(folder);
  const fs::path source = folder / "mixed.bin";
  const uint64_t size = mib << 20;
  fmt::print("generating {} MiB of mixed data in {}\n", mib, folder.string());
  WriteMixedFile(source, size);
  // Warm the page cache equally for both programs.
  {
    std::ifstream warm(source, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (warm.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
  }

  const std::string tool = TARN_TOOL_PATH;
  const fs::path ours = folder / "mixed.bin.nivra";
  const fs::path theirs = folder / "mixed.bin.zst";
  const fs::path ours_back = folder / "ours.bin";
  const fs::path theirs_back = folder / "theirs.bin";

  // Alternate the programs so that neither profits from the other's cache state.
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  Measure tarn_compress, zstd_compress, tarn_decompress, zstd_decompress;
  for (int run = 0; run < runs; ++run) {
    Best(tarn_compress, Run({tool, "-q", "compress", "-f", source.string(), "-o", ours.string()}));
    Best(zstd_compress, Run({"zstd", "-q", "-f", source.string(), "-o", theirs.string()}));
    Best(tarn_decompress, Run({tool, "-q", "decompress", "-f", ours.string(), "-o", ours_back.string()}));
    Best(zstd_decompress, Run({"zstd", "-q", "-d", "-f", theirs.string(), "-o", theirs_back.string()}));
  }

  fmt::print("input {} bytes; tarn output {} bytes ({:.3f}), zstd output {} bytes ({:.3f})\n", size,
             fs::file_size(ours), static_cast<double>(fs::file_size(ours)) / static_cast<double>(size),
             fs::file_size(theirs), static_cast<double>(fs::file_size(theirs)) / static_cast<double>(size));
  Print("tarn compress", size, tarn_compress);
  Print("zstd compress", size, zstd_compress);
  Print("tarn decompress", size, tarn_decompress);
  Print("zstd decompress", size, zstd_decompress);
  fmt::print("best of {} runs; peak RSS is the largest of all runs\n", runs);
  fmt::print("tarn/zstd wall time: compress {:.2f}, decompress {:.2f}\n", tarn_compress.seconds / zstd_compress.seconds,
             tarn_decompress.seconds / zstd_decompress.seconds);
  // zstd overlaps reading and writing with a second thread; on a busy machine that thread
  // also wins it a larger share of the cores, so CPU time is the fairer comparison there.
  fmt::print("tarn/zstd cpu time:  compress {:.2f}, decompress {:.2f}\n",
             tarn_compress.cpu_seconds / zstd_compress.cpu_seconds,
             tarn_decompress.cpu_seconds / zstd_decompress.cpu_seconds);
  fmt::print("round trip identical: tarn {}, zstd {}\n", SameContent(source, ours_back) ? "yes" : "NO",
             SameContent(source, theirs_back) ? "yes" : "NO");
  if (std::getenv("TARN_BENCH_KEEP") == nullptr) fs::remove_all(folder);
  return 0;
}
