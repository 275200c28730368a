// Prints upload and download MB/s for about 1 GiB of files through libcaddistransfer
// next to `tarn compress` + cp (and cp + `tarn decompress`) on the same files in the
// same run, with the CPU seconds each side used (the machine is shared: wall time is
// noisy, CPU time much less so), then how closely a 20 MB/s upload limit holds over
// 10 seconds. Uploads include proving that each stored file restores, downloads the
// check against the recorded checksum.
//
// transfer_bench [--mib N] [--work DIR] [--no-limit]
//
// Instruction counts per direction, repeatable on a busy machine (--no-limit skips the
// 10 s limit run; each ExecuteQueue call becomes one part of the profile):
//   valgrind --tool=callgrind --dump-before=ExecuteQueue --dump-after=ExecuteQueue
//     transfer_bench --mib 128 --no-limit
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "caddistransfer.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// User plus system CPU seconds of this process (RUSAGE_SELF) or of its finished children.
double CpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

void Check(char* message, const char* what) {
  if (message == nullptr) return;
  std::fprintf(stderr, "%s failed: %s\n", what, message);
  std::free(message);
  std::exit(1);
}

// Sample files copied under new names until `bytes` are reached; synthetic 16-bit
// images with noise and random blocks when the samples are not there.
std::vector<fs::path> MakeDataSet(const fs::path& dir, uint64_t bytes) {
  fs::create_directories(dir);
  std::vector<fs::path> samples;
  if (fs::is_directory(TARN_FIXTURES_DIR)) {
    for (const auto& entry : fs::directory_iterator(TARN_FIXTURES_DIR)) {
      if (entry.is_regular_file() && entry.path().extension() != ".md") samples.push_back(entry.path());
    }
    std::sort(samples.begin(), samples.end());
  }
  std::vector<fs::path> files;
  uint64_t total = 0;
  std::mt19937_64 random(42);
  for (int round = 0; total < bytes; ++round) {
    if (!samples.empty()) {
      for (const auto& sample : samples) {
        const fs::path copy = dir / ("r" + std::to_string(round) + "-" + sample.filename().string());
        fs::copy_file(sample, copy, fs::copy_options::overwrite_existing);
        files.push_back(copy);
        total += fs::file_size(copy);
        if (total >= bytes) break;
      }
    } else {
      const fs::path file = dir / ("synthetic-" + std::to_string(round) + ".raw");
      std::vector<uint16_t> pixels(8 << 20);
      for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(1000 + (i % 4096) + random() % 64);
      std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 2);
      files.push_back(file);
      total += pixels.size() * 2;
    }
  }
  return files;
}

uint64_t TotalSize(const std::vector<fs::path>& files) {
  uint64_t total = 0;
  for (const auto& file : files) total += fs::file_size(file);
  return total;
}

bool SameContent(const fs::path& a, const fs::path& b) { return Run("cmp -s " + Quote(a) + " " + Quote(b)); }

struct Timing {
  double wall = 0;
  double cpu = 0;
};

void Report(const char* what, uint64_t bytes, Timing ours, Timing baseline) {
  const double mb = static_cast<double>(bytes) / 1e6;
  if (baseline.wall > 0) {
    std::printf("%-9s %8.1f MB/s (%6.2f s CPU)   tarn tool + cp %8.1f MB/s (%6.2f s CPU)   speed vs tool + cp %5.1f%%, CPU %5.1f%%\n",
                what, mb / ours.wall, ours.cpu, mb / baseline.wall, baseline.cpu, 100.0 * baseline.wall / ours.wall,
                100.0 * ours.cpu / baseline.cpu);
  } else {
    std::printf("%-9s %8.1f MB/s (%6.2f s CPU)   (tarn tool not built: no baseline)\n", what, mb / ours.wall, ours.cpu);
  }
}

// Bytes that reach the storage over time, read from the growing temporary file.
void MeasureLimit(const fs::path& work, const char* const* storage, const fs::path& source, double limit) {
  const uint8_t id = NewManager();
  Check(SetTransportUploadLimit(id, limit), "SetTransportUploadLimit");
  const fs::path root = work / "limited";
  fs::create_directories(root);
  Check(RelocateStorage(id, storage[0], ("file://" + root.string()).c_str()), "RelocateStorage");

  std::atomic<bool> done{false};
  std::vector<std::pair<double, uint64_t>> samples;
  std::thread upload([&] {
    Check(Upload(id, source.c_str(), "limited.raw", nullptr, storage, 1), "Upload");
    done = true;
  });
  const auto start = Clock::now();
  while (!done) {
    uint64_t bytes = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root, error)) {
      if (entry.path().filename().string().rfind(".caddis-part-", 0) == 0) bytes = entry.file_size(error);
    }
    // Only growth counts: after the last block the file is synced and read back unchanged.
    if (bytes > 0 && (samples.empty() || bytes > samples.back().second)) samples.emplace_back(Seconds(start), bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  upload.join();
  Check(DeleteManager(id), "DeleteManager");
  if (samples.size() < 2) {
    std::printf("limit     no samples taken\n");
    return;
  }
  const auto& [t0, b0] = samples.front();
  const auto& [t1, b1] = samples.back();
  const double rate = static_cast<double>(b1 - b0) / (t1 - t0);
  std::printf("limit     %.1f MB/s asked, %.2f MB/s held over %.1f s (%+.2f%%)\n", limit / 1e6, rate / 1e6, t1 - t0,
              100.0 * (rate - limit) / limit);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  fs::path work = fs::temp_directory_path() / "transfer-bench";
  bool measure_limit = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-limit") == 0) measure_limit = false;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoull(argv[++i], nullptr, 10);
    else if (std::strcmp(argv[i], "--work") == 0) work = argv[++i];
  }
  fs::remove_all(work);
  const auto files = MakeDataSet(work / "data", mib << 20);
  const uint64_t bytes = TotalSize(files);
  const bool have_tool = fs::exists(TARN_TOOL_PATH);
  char* version = Version();
  std::printf("%zu files, %.1f MB; transfer library %s\n", files.size(), bytes / 1e6, version);
  std::free(version);

  // Baseline: the tool, then cp, one file after the other.
  Timing baseline_up, baseline_down;
  if (have_tool) {
    fs::create_directories(work / "staging");
    fs::create_directories(work / "copied");
    fs::create_directories(work / "fetched");
    fs::create_directories(work / "restored-tool");
    auto start = Clock::now();
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    for (const auto& file : files) {
      const fs::path staged = work / "staging" / (file.filename().string() + ".nivra");
      if (!Run(std::string(TARN_TOOL_PATH) + " compress -q -f -o " + Quote(staged) + " " + Quote(file)) ||
          !Run("cp " + Quote(staged) + " " + Quote(work / "copied"))) {
        std::fprintf(stderr, "baseline upload failed for %s\n", file.c_str());
        return 1;
      }
    }
    baseline_up = {Seconds(start), CpuSeconds(RUSAGE_CHILDREN) - cpu};
    start = Clock::now();
    cpu = CpuSeconds(RUSAGE_CHILDREN);
    for (const auto& file : files) {
      const std::string name = file.filename().string();
      const fs::path fetched = work / "fetched" / (name + ".nivra");
      if (!Run("cp " + Quote(work / "copied" / (name + ".nivra")) + " " + Quote(fetched)) ||
          !Run(std::string(TARN_TOOL_PATH) + " decompress -q -f -o " + Quote(work / "restored-tool" / name) + " " +
               Quote(fetched))) {
        std::fprintf(stderr, "baseline download failed for %s\n", file.c_str());
        return 1;
      }
    }
    baseline_down = {Seconds(start), CpuSeconds(RUSAGE_CHILDREN) - cpu};
  }

  // Ours: one queue each way with the default settings.
  const char* storage[] = {"bench"};
  const uint8_t id = NewManager();
  fs::create_directories(work / "storage");
  fs::create_directories(work / "restored");
  Check(RelocateStorage(id, "bench", ("file://" + (work / "storage").string()).c_str()), "RelocateStorage");
  std::vector<const char*> sources;
  for (const auto& file : files) sources.push_back(file.c_str());
  char queue[] = "bench-up";
  auto start = Clock::now();
  double cpu = CpuSeconds(RUSAGE_SELF);
  Check(EnqueueUploads(id, queue, sources.data(), sources.size(), "data/", nullptr, storage, 1), "EnqueueUploads");
  Check(ExecuteQueue(id, queue), "ExecuteQueue");
  const Timing ours_up{Seconds(start), CpuSeconds(RUSAGE_SELF) - cpu};

  std::vector<std::string> stored;
  for (const auto& file : files) stored.push_back("data/" + file.filename().string());
  std::vector<const char*> stored_names;
  for (const auto& name : stored) stored_names.push_back(name.c_str());
  char down_queue[] = "bench-down";
  start = Clock::now();
  cpu = CpuSeconds(RUSAGE_SELF);
  Check(EnqueueDownloads(id, down_queue, stored_names.data(), stored_names.size(), (work / "restored").c_str(), storage, 1),
        "EnqueueDownloads");
  Check(ExecuteQueue(id, down_queue), "ExecuteQueue");
  const Timing ours_down{Seconds(start), CpuSeconds(RUSAGE_SELF) - cpu};
  Check(DeleteManager(id), "DeleteManager");

  Report("upload", bytes, ours_up, baseline_up);
  Report("download", bytes, ours_down, baseline_down);

  std::size_t identical = 0;
  for (const auto& file : files) identical += SameContent(file, work / "restored" / file.filename());
  std::printf("restored  %zu of %zu files byte-identical\n", identical, files.size());

  // About 10 s of writing at 20 MB/s: 200 MB of data that does not compress.
  const fs::path noise = work / "noise.raw";
  if (measure_limit) {
    {
      std::mt19937_64 random(7);
      std::vector<uint64_t> block(1 << 17);
      std::ofstream out(noise, std::ios::binary);
      for (int i = 0; i < 200; ++i) {
        for (auto& word : block) word = random();
        out.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
      }
    }
    MeasureLimit(work, storage, noise, 20e6);
  }
  fs::remove_all(work);
  return identical == files.size() ? 0 : 1;
}
