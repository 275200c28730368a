// A synthetic 16-bit camera file (header, several embedded images, trailer) is
// compressed and decompressed through the chunk walk, and the same pixels go
// through nivra_encode / nivra_decode directly. Prints ratio and MB/s of both
// and what the container costs on top of the codec (CPU time, best of several rounds).
#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "nivra/nivra.h"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace {

constexpr uint32_t kWidth = 2048;
constexpr uint32_t kHeight = 1536;
constexpr int kImages = 4;
constexpr int kRounds = 5;

std::vector<uint16_t> CameraPixels(uint32_t seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<double> noise(0.0, 6.0);
  std::vector<uint16_t> pixels(size_t{kWidth} * kHeight);
  for (size_t i = 0; i < pixels.size(); ++i) {
    const double x = static_cast<double>(i % kWidth);
    const double y = static_cast<double>(i / kWidth);
    const double scene = 1800 + 1200 * std::sin(x / 97.0 + seed) * std::cos(y / 61.0);
    pixels[i] = static_cast<uint16_t>(std::clamp(scene + noise(generator), 0.0, 4095.0));
  }
  return pixels;
}

// Output into a buffer sized beforehand, so that memory runs measure the chunk
// path and not the growth of a string.
class FixedBuffer : public std::streambuf {
 public:
  explicit FixedBuffer(size_t size) : bytes_(size) { Reset(); }
  void Reset() { setp(bytes_.data(), bytes_.data() + bytes_.size()); }

 private:
  std::vector<char> bytes_;
};

// CPU time of this process (user and system): the machine is shared, and
// wall-clock time would mostly measure the other processes.
double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Step>
double BestSeconds(Step step) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    const double start = CpuSeconds();
    step();
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

double MegabytesPerSecond(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("tarn-image-bench-" + std::to_string(std::random_device()()));
  fs::create_directories(folder);

  // The source file and its chunk map.
  std::vector<std::vector<uint16_t>> images;
  std::string file(4096, 'H');
  tarn::ChunkMap map;
  for (int i = 0; i < kImages; ++i) {
    images.push_back(CameraPixels(static_cast<uint32_t>(i + 1)));
    map.emplace(file.size(), std::make_unique<tarn::chunk::Image>(kWidth, kHeight, 2, std::endian::little,
                                                                   tarn::chunk::image::Calibration{}));
    file.append(reinterpret_cast<const char*>(images.back().data()), images.back().size() * 2);
    file.append(512, 'G');
  }
  const uint64_t image_bytes = uint64_t{kImages} * kWidth * kHeight * 2;
  const tarn::Metadata metadata = tarn::Metadata::FromReader(file.size(), std::move(map));
  {
    std::ofstream(folder / "source.raw", std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
  }

  // The bare codec over the same pixels.
  std::vector<std::vector<uint8_t>> encoded(kImages, std::vector<uint8_t>(size_t{kWidth} * kHeight));
  std::vector<int32_t> encoded_sizes(kImages);
  const double codec_encode = BestSeconds([&] {
    for (int i = 0; i < kImages; ++i) {
      encoded_sizes[i] = static_cast<int32_t>(encoded[i].size());
      if (nivra_encode(images[i].data(), kWidth, kHeight, encoded[i].data(), &encoded_sizes[i]) != BM_OK) std::abort();
    }
  });
  std::vector<uint16_t> decoded(size_t{kWidth} * kHeight);
  const double codec_decode = BestSeconds([&] {
    for (int i = 0; i < kImages; ++i) {
      if (nivra_decode(encoded[i].data(), encoded_sizes[i], decoded.data(), kWidth * kHeight) != BM_OK) std::abort();
    }
  });
  uint64_t codec_bytes = 0;
  for (int32_t size : encoded_sizes) codec_bytes += static_cast<uint64_t>(size);

  // The same through the chunk walk, in memory: what the container adds to the codec.
  std::istringstream memory_in(file);
  FixedBuffer memory_buffer(file.size() + (1 << 20));
  std::ostream memory_out(&memory_buffer);
  std::string memory_compressed;
  const double memory_encode = BestSeconds([&] {
    memory_in.clear();
    memory_in.seekg(0);
    memory_buffer.Reset();
    memory_out.clear();
    metadata.EncodeStream(memory_in, memory_out).SerializeToStream(memory_out);
  });
  {
    std::ostringstream whole;
    memory_in.clear();
    memory_in.seekg(0);
    const tarn::Metadata written = metadata.EncodeStream(memory_in, whole);
    written.SerializeToStream(whole);
    memory_compressed = whole.str();
  }
  std::istringstream compressed_in(memory_compressed);
  const tarn::Metadata memory_metadata = tarn::Metadata::DeserializeFromStream(compressed_in);
  const double memory_decode = BestSeconds([&] {
    compressed_in.clear();
    compressed_in.seekg(0);
    memory_buffer.Reset();
    memory_out.clear();
    memory_metadata.DecodeStream(compressed_in, memory_out);
  });

  // The same through the chunk walk, file to file.
  uint64_t compressed_size = 0;
  const double container_encode = BestSeconds([&] {
    std::ifstream in(folder / "source.raw", std::ios::binary);
    std::ofstream out(folder / "compressed.nivra", std::ios::binary | std::ios::trunc);
    const tarn::Metadata written = metadata.EncodeStream(in, out);
    compressed_size = written.SerializeToStream(out).length;
  });
  const tarn::Metadata compressed = tarn::Metadata::DeserializeFromFile(folder / "compressed.nivra");
  const double container_decode = BestSeconds([&] {
    std::ifstream in(folder / "compressed.nivra", std::ios::binary);
    std::ofstream out(folder / "restored.raw", std::ios::binary | std::ios::trunc);
    compressed.DecodeStream(in, out);
  });
  std::ifstream restored(folder / "restored.raw", std::ios::binary);
  const bool identical = std::string(std::istreambuf_iterator<char>(restored), {}) == file;
  fs::remove_all(folder);

  std::printf("synthetic file: %zu bytes, %d images of %ux%u 16-bit (%.1f MB of pixels)\n", file.size(), kImages,
              kWidth, kHeight, static_cast<double>(image_bytes) / 1e6);
  std::printf("codec alone:    ratio %.3f  encode %8.1f MB/s  decode %8.1f MB/s\n",
              static_cast<double>(image_bytes) / static_cast<double>(codec_bytes),
              MegabytesPerSecond(image_bytes, codec_encode), MegabytesPerSecond(image_bytes, codec_decode));
  std::printf("through chunks: ratio %.3f  encode %8.1f MB/s  decode %8.1f MB/s  (whole file, files on disk)\n",
              static_cast<double>(file.size()) / static_cast<double>(compressed_size),
              MegabytesPerSecond(file.size(), container_encode), MegabytesPerSecond(file.size(), container_decode));
  std::printf("chunks, memory: encode %8.1f MB/s  decode %8.1f MB/s\n", MegabytesPerSecond(file.size(), memory_encode),
              MegabytesPerSecond(file.size(), memory_decode));
  std::printf("container cost: encode %+.1f%%  decode %+.1f%% of the codec's time in memory, "
              "%+.1f%%  %+.1f%% file to file\n",
              100.0 * (memory_encode - codec_encode) / codec_encode, 100.0 * (memory_decode - codec_decode) / codec_decode,
              100.0 * (container_encode - codec_encode) / codec_encode,
              100.0 * (container_decode - codec_decode) / codec_decode);
  std::printf("restored file identical: %s\n", identical ? "yes" : "NO");
  return identical ? 0 : 1;
}
