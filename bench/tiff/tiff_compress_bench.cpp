// Compressing a large 16-bit TIFF stack: wall time against the codec's own time for the
// same planes, peak memory against one plane, and what checking every coded plane
// (decoding it again before it is stored) costs. Prints the figures.
//   tiff_compress_bench [planes=64] [side=2048]   (64 planes of 2048 x 2048 = 512 MiB)
// Every phase runs in its own child process, so that its peak memory is its own.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>

#include "nivra/nivra.h"
#include "tarn/file/metadata/chunk/codec/nivra_hooks.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"
#include "tarn/util/thread_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double seconds = 0;
  double cpu_seconds = 0;  // of the whole process: the machine is shared, wall time is noisy
  double peak_bytes = 0;  // above the resident size when the phase started
  double value = 0;       // what the phase returned
};

// A camera-like plane: a smooth scene plus a little noise, different for every plane.
void FillPlane(std::vector<uint16_t>& pixels, uint32_t side, uint32_t plane) {
  uint64_t state = 0x9E3779B97F4A7C15ull * (plane + 1);
  for (uint32_t y = 0; y < side; ++y) {
    for (uint32_t x = 0; x < side; ++x) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const uint32_t noise = static_cast<uint32_t>(state >> 61);  // 0..7
      pixels[size_t{y} * side + x] = static_cast<uint16_t>(400 + ((x + y + plane * 16) & 1023) + noise);
    }
  }
}

void WriteStack(const std::filesystem::path& path, uint32_t planes, uint32_t side) {
  TIFF* tiff = TIFFOpen(path.c_str(), planes * uint64_t{side} * side * 2 > (3ull << 30) ? "w8" : "w");
  if (tiff == nullptr) throw std::runtime_error("cannot write " + path.string());
  std::vector<uint16_t> pixels(size_t{side} * side);
  for (uint32_t plane = 0; plane < planes; ++plane) {
    FillPlane(pixels, side, plane);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, side);
    TIFFWriteEncodedStrip(tiff, 0, pixels.data(), static_cast<tmsize_t>(pixels.size() * 2));
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
}

// A field of /proc/self/status in bytes.
double StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return 1024.0 * std::stod(line.substr(field.size() + 1));
  }
  return 0;
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs `phase` in a child process; `prepare` runs there first and is not measured.
Figures Measure(const std::function<void()>& prepare, const std::function<double()>& phase) {
  int channel[2];
  if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    prepare();
    std::ofstream("/proc/self/clear_refs") << "5";  // peak := current
    const double before = StatusBytes("VmRSS");
    const double cpu_start = CpuSeconds();
    const auto start = Clock::now();
    const double value = phase();
    Figures figures{std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu_start,
                    StatusBytes("VmHWM") - before, value};
    if (write(channel[1], &figures, sizeof(figures)) != sizeof(figures)) _exit(1);
    _exit(0);
  }
  close(channel[1]);
  Figures figures;
  const bool complete = read(channel[0], &figures, sizeof(figures)) == sizeof(figures);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("a phase failed");
  return figures;
}

double MiB(double bytes) { return bytes / 1048576.0; }

}  // namespace

int main(int argc, char** argv) {
  const uint32_t planes = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 64;
  const uint32_t side = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 2048;
  const double plane_bytes = double(side) * side * 2;
  TarnSetLogLevel(4);

  const auto dir = std::filesystem::temp_directory_path() / ("tarn-tiff-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto source = dir / "stack.tif";
  const auto compressed = dir / "stack.tif.nivra";
  WriteStack(source, planes, side);
  const double source_bytes = double(std::filesystem::file_size(source));

  const Figures read = Measure([] {}, [&] { return double(tarn::Metadata::Read(source).chunks.size()); });
  const auto compress_phase = [&] {
    if (TarnCompressFile(source.c_str(), compressed.c_str(), nullptr) != kTarnStatusOk) _exit(1);
    return 0.0;
  };
  // Unchecked first, so that both runs find the source equally warm in the page cache.
  const Figures unchecked = Measure([] { tarn::codec::nivra::hooks::SetVerification(false); }, compress_phase);
  const Figures compress = Measure([] {}, compress_phase);

  // The codec alone on the same planes, with the output room the library gives it.
  std::vector<uint16_t> pixels;
  std::vector<uint8_t> encoded;
  const Figures codec = Measure(
      [&] {
        pixels.assign(size_t{side} * side, 0);
        encoded.assign(pixels.size(), 0);
      },
      [&] {
        Clock::duration encoding{};
        for (uint32_t plane = 0; plane < planes; ++plane) {
          FillPlane(pixels, side, plane);
          int32_t length = static_cast<int32_t>(encoded.size());
          const auto start = Clock::now();
          if (nivra_encode(pixels.data(), int32_t(side), int32_t(side), encoded.data(), &length) != BM_OK) _exit(1);
          encoding += Clock::now() - start;
        }
        return std::chrono::duration<double>(encoding).count();
      });

  std::map<tarn::Codec, size_t> images_by_codec;
  for (const auto& chunk : tarn::Metadata::DeserializeFromFile(compressed).chunks) {
    if (chunk->ToJson().isMember("width")) ++images_by_codec[chunk->codec];
  }
  const double compressed_bytes = double(std::filesystem::file_size(compressed));
  std::printf("source: %u planes of %u x %u x 16 bit, %.1f MiB\n", planes, side, side, MiB(source_bytes));
  std::printf("compressed: %.1f MiB (ratio %.2f); image chunks by codec:", MiB(compressed_bytes),
              source_bytes / compressed_bytes);
  for (const auto& [codec_id, count] : images_by_codec) {
    std::printf(" %s=%zu", std::string(tarn::CodecName(codec_id)).c_str(), count);
  }
  std::printf("\ncompress: %.3f s; codec alone: %.3f s; overhead: %.1f %% (target <= 10 %%)\n", compress.seconds,
              codec.value, 100.0 * (compress.seconds - codec.value) / codec.value);
  const double check_cost = 100.0 * (compress.cpu_seconds - unchecked.cpu_seconds) / unchecked.cpu_seconds;
  std::printf("compress CPU: %.3f s checked, %.3f s without the check of each coded plane: %+.1f %% "
              "(target <= +35 %%: %s); wall %.3f s / %.3f s\n",
              compress.cpu_seconds, unchecked.cpu_seconds, check_cost, check_cost <= 35 ? "met" : "NOT MET",
              compress.seconds, unchecked.seconds);
  const unsigned threads = tarn::util::ThreadCount();
  const double planes_held = compress.peak_bytes / plane_bytes;
  std::printf("compress peak memory: %.1f MiB = %.2f x one plane (target < threads + 3 = %u: %s); without the check "
              "%.1f MiB = %.2f x\n",
              MiB(compress.peak_bytes), planes_held, threads + 3, planes_held < threads + 3 ? "met" : "NOT MET",
              MiB(unchecked.peak_bytes), unchecked.peak_bytes / plane_bytes);
  std::printf("  of which reading the TIFF into %zu chunks: %.3f s, %.2f MiB; codec's own working memory: %.1f MiB\n",
              size_t(read.value), read.seconds, MiB(read.peak_bytes), MiB(codec.peak_bytes));
  std::filesystem::remove_all(dir);
  return 0;
}
