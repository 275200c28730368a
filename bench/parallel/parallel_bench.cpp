// Compresses and restores a generated ImageJ stack (128 noisy 1024x1024 16-bit planes,
// 256 MiB) with the `tarn` command on one thread and on every thread (TARN_THREADS), and
// with `zstd -3 -T0` and `zstd -d`, in the same run. Prints wall time, CPU time, peak
// memory and the targets with their figures. Each time is the best of several runs, the
// programs taking turns, since the machine may be shared; CPU time is what a busy machine
// disturbs least. Usage: parallel_bench [runs, default 3] [work folder] [planes, default 128].
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 1024;
constexpr uint32_t kHeight = 1024;
constexpr uint64_t kPlaneBytes = uint64_t{kWidth} * kHeight * 2;

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system, all threads
  long peak_kib = 0;
  int status = -1;
};

// Runs a program with TARN_THREADS set to `threads` (unset when empty).
Measure Run(const std::vector<std::string>& command, const std::string& threads = "") {
  std::vector<char*> argv;
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (threads.empty()) {
      unsetenv("TARN_THREADS");
    } else {
      setenv("TARN_THREADS", threads.c_str(), 1);
    }
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

// Keeps the fastest run and the largest memory peak of all runs.
void Best(Measure& best, const Measure& run) {
  const long peak = std::max(best.peak_kib, run.peak_kib);
  if (best.status != 0 || (run.status == 0 && run.seconds < best.seconds)) best = run;
  best.peak_kib = peak;
}

void Put16(std::string& out, uint16_t value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>(value >> 8);
}
void Put32(std::string& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value));
  Put16(out, static_cast<uint16_t>(value >> 16));
}

// A little-endian TIFF as ImageJ writes large stacks: one directory whose description
// announces the planes, which follow the first one's strip without directories of their own.
// The planes: a smooth scene that drifts from plane to plane under sensor noise of about
// 12 grey levels, over a background of a few hundred.
void WriteImageJStack(const fs::path& path, uint32_t planes) {
  const std::string description =
      fmt::format("ImageJ=1.53t\nimages={}\nslices={}\nhyperstack=true\nunit=micron\nloop=false\n", planes, planes);
  constexpr uint32_t kDirectory = 8;
  constexpr uint16_t kEntries = 10;
  const uint32_t description_offset = kDirectory + 2 + kEntries * 12 + 4;
  const uint32_t data_offset = 4096;
  std::string head = "II";
  Put16(head, 42);
  Put32(head, kDirectory);
  Put16(head, kEntries);
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(head, tag);
    Put16(head, type);
    Put32(head, count);
    if (type == 3 && count == 1) {
      Put16(head, static_cast<uint16_t>(value));
      Put16(head, 0);
    } else {
      Put32(head, value);
    }
  };
  entry(256, 4, 1, kWidth);                                                         // ImageWidth
  entry(257, 4, 1, kHeight);                                                        // ImageLength
  entry(258, 3, 1, 16);                                                             // BitsPerSample
  entry(259, 3, 1, 1);                                                              // Compression: none
  entry(262, 3, 1, 1);                                                              // BlackIsZero
  entry(270, 2, static_cast<uint32_t>(description.size() + 1), description_offset);  // ImageDescription
  entry(273, 4, 1, data_offset);                                                    // StripOffsets
  entry(277, 3, 1, 1);                                                              // SamplesPerPixel
  entry(278, 4, 1, kHeight);                                                        // RowsPerStrip
  entry(279, 4, 1, static_cast<uint32_t>(kPlaneBytes));                              // StripByteCounts
  Put32(head, 0);
  head += description;
  head += '\0';
  head.resize(data_offset, '\0');

  std::ofstream out(path, std::ios::binary);
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  std::vector<uint16_t> plane(size_t{kWidth} * kHeight);
  std::vector<float> row_wave(kHeight), column_wave(kWidth);
  uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (uint32_t z = 0; z < planes; ++z) {
    for (uint32_t y = 0; y < kHeight; ++y) row_wave[y] = std::cos(static_cast<float>(y) / 53.0F + z * 0.05F);
    for (uint32_t x = 0; x < kWidth; ++x) column_wave[x] = std::sin(static_cast<float>(x) / 37.0F + z * 0.11F);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const uint64_t bits = next();
        // The sum of four uniform values: close enough to Gaussian noise.
        const int noise = static_cast<int>((bits & 0xff) + ((bits >> 8) & 0xff) + ((bits >> 16) & 0xff) +
                                           ((bits >> 24) & 0xff)) -
                          510;
        const float scene = 300.0F + 700.0F * (0.5F + 0.5F * column_wave[x] * row_wave[y]);
        plane[size_t{y} * kWidth + x] = static_cast<uint16_t>(std::max(0, static_cast<int>(scene) + noise / 6));
      }
    }
    out.write(reinterpret_cast<const char*>(plane.data()), static_cast<std::streamsize>(kPlaneBytes));
  }
}

// How many cores this process gets at the moment: `threads` threads spin for a second;
// their CPU time over the wall time. On a shared machine this is below the core count.
double AvailableCores(unsigned threads) {
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::vector<std::thread> spinners;
  for (unsigned i = 0; i < threads; ++i) {
    spinners.emplace_back([&stop] {
      volatile uint64_t count = 0;
      while (!stop.load(std::memory_order_relaxed)) count = count + 1;
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stop = true;
  for (auto& spinner : spinners) spinner.join();
  getrusage(RUSAGE_SELF, &after);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
  const double cpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
                     seconds(before.ru_stime);
  return cpu / wall;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  return Run({"cmp", "-s", a.string(), b.string()}).status == 0;
}

const char* Met(bool met) { return met ? "met" : "NOT MET"; }

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "tarn-parallel-bench";
  const uint32_t planes = argc > 3 ? static_cast<uint32_t>(std::max(2, std::atoi(argv[3]))) : 128;
  fs::create_directories(folder);
  const fs::path source = folder / "stack.tif";
  const fs::path tiny = folder / "tiny.txt";
  fmt::print("generating an ImageJ stack of {} planes of {}x{} 16-bit in {}\n", planes, kWidth, kHeight,
             folder.string());
  WriteImageJStack(source, planes);
  std::ofstream(tiny) << std::string(4096, 'x');
  const uint64_t size = fs::file_size(source);
  {
    // Warm the page cache equally for every program.
    std::ifstream warm(source, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (warm.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
  }

  const std::string tool = TARN_TOOL_PATH;
  const unsigned all = std::max(1u, std::thread::hardware_concurrency());
  const std::string all_text = "0";  // every hardware thread
  const fs::path ours = folder / "stack.tif.nivra";
  const fs::path theirs = folder / "stack.tif.zst";
  const fs::path ours_back = folder / "ours.tif";
  const fs::path theirs_back = folder / "theirs.tif";
  const std::string load_before = LoadAverage();
  const double cores_before = AvailableCores(all);

  Measure idle, compress_all, compress_one, zstd_compress, decompress_all, decompress_one, zstd_decompress;
  for (int run = 0; run < runs; ++run) {
    Best(idle, Run({tool, "-q", "compress", "-f", tiny.string(), "-o", (folder / "tiny.nivra").string()}, "1"));
    Best(compress_all, Run({tool, "-q", "compress", "-f", source.string(), "-o", ours.string()}, all_text));
    Best(zstd_compress, Run({"zstd", "-q", "-3", "-T0", "-f", source.string(), "-o", theirs.string()}));
    Best(compress_one, Run({tool, "-q", "compress", "-f", source.string(), "-o", ours.string()}, "1"));
    Best(decompress_all, Run({tool, "-q", "decompress", "-f", ours.string(), "-o", ours_back.string()}, all_text));
    Best(zstd_decompress, Run({"zstd", "-q", "-d", "-f", theirs.string(), "-o", theirs_back.string()}));
    Best(decompress_one, Run({tool, "-q", "decompress", "-f", ours.string(), "-o", ours_back.string()}, "1"));
  }
  const std::string load_after = LoadAverage();
  const double cores_after = AvailableCores(all);

  const double mb = static_cast<double>(size) / 1e6;
  const double plane_kib = static_cast<double>(kPlaneBytes) / 1024.0;
  auto planes_above_idle = [&](const Measure& measure) {
    return static_cast<double>(measure.peak_kib - idle.peak_kib) / plane_kib;
  };
  fmt::print("input {} bytes ({} planes); tarn output {} bytes (ratio {:.3f}), zstd -3 output {} bytes "
             "(ratio {:.3f})\n",
             size, planes, fs::file_size(ours), static_cast<double>(size) / static_cast<double>(fs::file_size(ours)),
             fs::file_size(theirs), static_cast<double>(size) / static_cast<double>(fs::file_size(theirs)));
  fmt::print("{} hardware threads; load average before {}, after {}; cores free for this run: {:.2f} before,\n"
             "{:.2f} after. The machine is shared: wall times are disturbed by other work, CPU times much less.\n\n",
             all, load_before, load_after, cores_before, cores_after);
  fmt::print("{:<30} {:>8} {:>8} {:>9} {:>10} {:>14}\n", "", "wall s", "cpu s", "MB/s", "peak MiB", "planes > idle");
  auto row = [&](const std::string& what, const Measure& measure, bool ours_run) {
    fmt::print("{:<30} {:>8.2f} {:>8.2f} {:>9.1f} {:>10.1f} {:>14}{}\n", what, measure.seconds, measure.cpu_seconds,
               mb / measure.seconds, static_cast<double>(measure.peak_kib) / 1024.0,
               ours_run ? fmt::format("{:.1f}", planes_above_idle(measure)) : std::string("-"),
               measure.status == 0 ? "" : "  FAILED");
  };
  row(fmt::format("tarn compress, {} threads", all), compress_all, true);
  row("tarn compress, 1 thread", compress_one, true);
  row("zstd -3 -T0", zstd_compress, false);
  row(fmt::format("tarn decompress, {} threads", all), decompress_all, true);
  row("tarn decompress, 1 thread", decompress_one, true);
  row("zstd -d", zstd_decompress, false);
  fmt::print("(best of {} runs each; peak memory is the largest of all runs; an idle tarn process peaks at "
             "{:.1f} MiB)\n\n",
             runs, static_cast<double>(idle.peak_kib) / 1024.0);

  const double compress_vs_zstd = compress_all.seconds / zstd_compress.seconds;
  const double decompress_vs_zstd = decompress_all.seconds / zstd_decompress.seconds;
  const double compress_scaling = compress_one.seconds / compress_all.seconds;
  const double decompress_scaling = decompress_one.seconds / decompress_all.seconds;
  const double scaling_target = 0.85 * all;
  fmt::print("targets\n");
  fmt::print("  compress wall, all threads / zstd -3 -T0:   {:.2f} (target <= 1.00)  {}   [cpu time ratio {:.2f}]\n",
             compress_vs_zstd, Met(compress_vs_zstd <= 1.0), compress_all.cpu_seconds / zstd_compress.cpu_seconds);
  fmt::print("  decompress wall, all threads / zstd -d:     {:.2f} (target <= 1.50)  {}   [cpu time ratio {:.2f}]\n",
             decompress_vs_zstd, Met(decompress_vs_zstd <= 1.5),
             decompress_all.cpu_seconds / zstd_decompress.cpu_seconds);
  // What the threads would give on free cores if the only loss were the CPU time they add.
  const double compress_bound = all * compress_one.cpu_seconds / compress_all.cpu_seconds;
  const double decompress_bound = all * decompress_one.cpu_seconds / decompress_all.cpu_seconds;
  fmt::print("  compress scaling, 1 -> {} threads (wall):    {:.2f}x (target >= {:.2f}x)  {}   "
             "[cpu-time bound {:.2f}x]\n",
             all, compress_scaling, scaling_target, Met(compress_scaling >= scaling_target), compress_bound);
  fmt::print("  decompress scaling, 1 -> {} threads (wall):  {:.2f}x (target >= {:.2f}x)  {}   "
             "[cpu-time bound {:.2f}x]\n",
             all, decompress_scaling, scaling_target, Met(decompress_scaling >= scaling_target), decompress_bound);
  for (const auto& [what, measure, threads] :
       {std::tuple{"compress", compress_one, 1u}, std::tuple{"compress", compress_all, all},
        std::tuple{"decompress", decompress_one, 1u}, std::tuple{"decompress", decompress_all, all}}) {
    const double used = planes_above_idle(measure);
    fmt::print("  peak memory, {:<10} {:>2} thread(s):       {:.1f} planes above idle (target < {})  {}\n", what,
               threads, used, threads + 3, Met(used < threads + 3));
  }
  fmt::print("round trip identical: tarn {}, zstd {}\n", SameContent(source, ours_back) ? "yes" : "NO",
             SameContent(source, theirs_back) ? "yes" : "NO");
  if (std::getenv("TARN_BENCH_KEEP") == nullptr) fs::remove_all(folder);
  return 0;
}
