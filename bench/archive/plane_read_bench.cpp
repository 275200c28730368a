// Reading one plane from a 1 GiB archive in place (tarn::archive) against decoding that
// plane's stream alone (read its bytes, nivra_decode), in the same run, alternating.
// Prints CPU and wall time and peak heap of each (each measured in a fresh child process),
// and whether the archive stays under 2x of the plane alone in both. The archive is built once from a few distinct camera-like
// planes repeated; its chunk table is that of a real stack of that size.
// Usage: archive_plane_bench [work folder, default /tmp] [archive MiB, default 1024] [rounds, default 7]
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "nivra/nivra.h"
#include "tarn/archive/archive.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"

// Heap in use and its peak, for every allocation of the process (libtarn and libnivra included).
namespace {
std::atomic<int64_t> heap_now{0}, heap_peak{0};
void Count(int64_t delta) {
  const int64_t now = heap_now.fetch_add(delta) + delta;
  int64_t peak = heap_peak.load();
  while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace
void* operator new(size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  Count(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  Count(-static_cast<int64_t>(malloc_usable_size(p)));
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSide = 2048;
constexpr int kDistinct = 6;

std::vector<uint16_t> CameraPlane(int seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> noise(0.f, 9.f);
  std::vector<uint16_t> pixels(size_t{kSide} * kSide);
  for (uint32_t y = 0; y < kSide; ++y) {
    for (uint32_t x = 0; x < kSide; ++x) {
      const float base = 900.f + 500.f * std::sin((x + 37.f * seed) / 41.f) * std::cos(y / 57.f);
      pixels[size_t{y} * kSide + x] = static_cast<uint16_t>(std::clamp(base + noise(random), 0.f, 4095.f));
    }
  }
  return pixels;
}

// Writes header chunk, planes (the distinct streams repeated) and the metadata block.
void BuildArchive(const fs::path& path, uint64_t target_bytes) {
  std::vector<std::string> streams;  // the distinct coded planes
  tarn::Chunks chunks;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  {
    std::string header(4096, '\0');
    for (size_t i = 0; i < header.size(); ++i) header[i] = static_cast<char>("header"[i % 6]);
    std::istringstream in(header);
    chunks.push_back(tarn::chunk::UnspecifiedData(header.size()).EncodeStream(in, out));
  }
  std::vector<std::unique_ptr<tarn::Chunk>> coded;
  for (int k = 0; k < kDistinct; ++k) {
    const std::vector<uint16_t> pixels = CameraPlane(k);
    std::istringstream in(std::string(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 2));
    std::ostringstream stream;
    const tarn::chunk::Image image(kSide, kSide, 2, std::endian::little, tarn::chunk::image::Calibration{});
    coded.push_back(image.EncodeStream(in, stream));
    streams.push_back(stream.str());
  }
  uint64_t written = 4096;
  for (size_t i = 0; written < target_bytes; ++i) {
    const std::string& stream = streams[i % kDistinct];
    out.write(stream.data(), static_cast<std::streamsize>(stream.size()));
    chunks.push_back(coded[i % kDistinct]->Clone());
    written += stream.size();
  }
  tarn::Metadata::FromChunks(std::move(chunks)).SerializeToStream(out);
}

struct Figure {
  double cpu = 0, wall = 0;
  int64_t heap = 0;
};

double CpuNow() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Runs `work` in a child process, so that what one side allocates (and libtarn's per-thread
// buffer cache keeps) is never there for the other, and reports its CPU and wall time and
// the peak of the heap above what the child started with.
template <class Work>
Figure Measure(Work work) {
  int channel[2];
  if (pipe(channel) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const int64_t base = heap_now.load();
    heap_peak.store(base);
    const double cpu = CpuNow();
    const auto wall = std::chrono::steady_clock::now();
    work();
    Figure figure;
    figure.cpu = CpuNow() - cpu;
    figure.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    figure.heap = heap_peak.load() - base;
    if (write(channel[1], &figure, sizeof figure) != sizeof figure) _exit(1);
    _exit(0);
  }
  close(channel[1]);
  Figure figure;
  if (read(channel[0], &figure, sizeof figure) != sizeof figure) std::abort();
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return figure;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
  const fs::path path = folder / "archive_plane_bench.nivra";
  // Built in a child: the codec's buffers, which libtarn keeps per thread, stay there.
  const pid_t builder = fork();
  if (builder == 0) {
    BuildArchive(path, mib << 20);
    _exit(0);
  }
  int status = 0;
  waitpid(builder, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  const tarn::archive::Archive probe = tarn::archive::Archive::Open(path);
  const size_t index = probe.Planes().size() / 2;  // in the middle of the file
  const tarn::archive::PlaneInfo plane = probe.Planes()[index];
  fmt::print("archive: {} ({:.0f} MiB), {} planes of {}x{} uint16; reading plane {} ({:.1f} MiB coded)\n",
             path.string(), fs::file_size(path) / 1048576.0, probe.Planes().size(), kSide, kSide, index,
             plane.stored_length / 1048576.0);

  std::vector<double> alone_cpu, alone_wall, archive_cpu, archive_wall;
  int64_t alone_heap = 0, archive_heap = 0;
  for (int round = 0; round < rounds; ++round) {
    const Figure alone = Measure([&] {
      std::ifstream in(path, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(plane.archive_offset));
      std::vector<uint8_t> stream(plane.stored_length);
      in.read(reinterpret_cast<char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
      std::vector<uint16_t> pixels(size_t{plane.width} * plane.height);
      if (nivra_decode(stream.data(), static_cast<int32_t>(stream.size()), pixels.data(),
                       static_cast<int32_t>(pixels.size())) != BM_OK) {
        std::abort();
      }
    });
    const Figure opened = Measure([&] {
      const tarn::archive::Archive archive = tarn::archive::Archive::Open(path);
      const auto decoded = archive.DecodePlane(index);
      if (decoded.bytes.size() != plane.PlaneBytes()) std::abort();
    });
    alone_cpu.push_back(alone.cpu), alone_wall.push_back(alone.wall), alone_heap = std::max(alone_heap, alone.heap);
    archive_cpu.push_back(opened.cpu), archive_wall.push_back(opened.wall);
    archive_heap = std::max(archive_heap, opened.heap);
  }
  const double cpu_ratio = Median(archive_cpu) / Median(alone_cpu);
  const double heap_ratio = static_cast<double>(archive_heap) / static_cast<double>(alone_heap);
  fmt::print("{:<34} {:>10} {:>10} {:>12}\n", "median of " + std::to_string(rounds) + " rounds", "CPU ms", "wall ms",
             "peak heap MiB");
  fmt::print("{:<34} {:>10.1f} {:>10.1f} {:>12.1f}\n", "plane alone (read + nivra_decode)", Median(alone_cpu) * 1e3,
             Median(alone_wall) * 1e3, alone_heap / 1048576.0);
  fmt::print("{:<34} {:>10.1f} {:>10.1f} {:>12.1f}\n", "archive (Open + DecodePlane)", Median(archive_cpu) * 1e3,
             Median(archive_wall) * 1e3, archive_heap / 1048576.0);
  fmt::print("time (CPU) {:.2f}x of the plane alone, target < 2x: {}\n", cpu_ratio, cpu_ratio < 2 ? "met" : "NOT MET");
  fmt::print("memory {:.2f}x of the plane alone, target < 2x: {}\n", heap_ratio, heap_ratio < 2 ? "met" : "NOT MET");
  std::error_code ignored;
  fs::remove(path, ignored);
  return 0;
}
