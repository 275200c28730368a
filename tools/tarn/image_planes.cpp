#include "image_planes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn::cli {
namespace {

namespace cal = Brimlake::Nivra::Calibration;

uint16_t Sample(const uint8_t* bytes, std::endian order) {
  return order == std::endian::little ? static_cast<uint16_t>(bytes[0] | (bytes[1] << 8))
                                      : static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

void TakeCamera(const chunk::image::Calibration& calibration, ImagePlane& plane) {
  plane.identifier = calibration.identifier;
  plane.black_level = calibration.black_level;
  plane.white_level = calibration.white_level;
  plane.cfa = calibration.cfa;
}

std::vector<uint8_t> ReadBytes(std::ifstream& file, uint64_t offset, uint64_t length, const std::string& path) {
  std::vector<uint8_t> bytes(length);
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  if (!file) throw std::runtime_error(fmt::format("cannot read {} bytes at offset {} of {}", length, offset, path));
  return bytes;
}

// Variance of a plane's values (or of the difference of two planes).
double Variance(const cal::Plane& a, const cal::Plane* b) {
  double sum = 0, sum_squares = 0;
  const double n = static_cast<double>(a.width) * a.height;
  for (uint32_t y = 0; y < a.height; ++y) {
    for (uint32_t x = 0; x < a.width; ++x) {
      const double value = b ? static_cast<double>(a.At(x, y)) - b->At(x, y) : a.At(x, y);
      sum += value;
      sum_squares += value * value;
    }
  }
  return n > 1 ? (sum_squares - sum * sum / n) / (n - 1) : 0;
}

}  // namespace

FilePlanes ReadImagePlanes(const std::filesystem::path& path, std::size_t max_pixels) {
  const Metadata metadata = Metadata::Read(path);
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(fmt::format("cannot open {}", path.string()));
  FilePlanes found;
  uint64_t offset = 0;
  std::size_t pixels = 0;
  for (const auto& chunk : metadata.chunks) {
    const uint64_t at = offset;
    offset += chunk->length;
    if (pixels >= max_pixels) {
      found.truncated |= dynamic_cast<const chunk::Image*>(chunk.get()) != nullptr ||
                         dynamic_cast<const chunk::InterleavedImage*>(chunk.get()) != nullptr;
      continue;
    }
    if (const auto* image = dynamic_cast<const chunk::Image*>(chunk.get())) {
      if (image->codec != Codec::None || image->bytes_per_pixel != 2) {
        ++found.skipped;
        continue;
      }
      const auto bytes = ReadBytes(file, at, image->length, path.string());
      ImagePlane plane;
      plane.width = image->width;
      plane.height = image->height;
      plane.series = fmt::format("{}x{}", image->width, image->height);
      plane.pixels.resize(std::size_t{image->width} * image->height);
      for (std::size_t i = 0; i < plane.pixels.size(); ++i) plane.pixels[i] = Sample(&bytes[2 * i], image->endianness);
      TakeCamera(image->calibration, plane);
      pixels += plane.pixels.size();
      found.planes.push_back(std::move(plane));
    } else if (const auto* interleaved = dynamic_cast<const chunk::InterleavedImage*>(chunk.get())) {
      if (interleaved->codec != Codec::None || interleaved->bytes_per_pixel != 2 ||
          uint64_t{interleaved->width} * interleaved->channels * 2 > interleaved->width_bytes) {
        ++found.skipped;
        continue;
      }
      const auto bytes = ReadBytes(file, at, interleaved->length, path.string());
      for (uint16_t channel = 0; channel < interleaved->channels; ++channel) {
        ImagePlane plane;
        plane.width = interleaved->width;
        plane.height = interleaved->height;
        plane.series = fmt::format("{}x{} channel {}", interleaved->width, interleaved->height, channel);
        plane.pixels.resize(std::size_t{interleaved->width} * interleaved->height);
        for (uint32_t y = 0; y < interleaved->height; ++y) {
          const uint8_t* row = bytes.data() + uint64_t{y} * interleaved->width_bytes;
          for (uint32_t x = 0; x < interleaved->width; ++x) {
            plane.pixels[std::size_t{y} * interleaved->width + x] =
                Sample(row + (uint64_t{x} * interleaved->channels + channel) * 2, interleaved->endianness);
          }
        }
        TakeCamera(interleaved->calibration, plane);
        pixels += plane.pixels.size();
        found.planes.push_back(std::move(plane));
      }
    }
  }
  return found;
}

std::vector<cal::Stack> GroupIntoStacks(const std::vector<ImagePlane>& planes) {
  std::vector<cal::Stack> stacks;
  // The open stack of every series, as an index into `stacks`.
  std::vector<std::pair<std::string, std::size_t>> open;
  for (const ImagePlane& plane : planes) {
    const cal::Plane view = plane.View();
    auto it = std::find_if(open.begin(), open.end(), [&](const auto& entry) { return entry.first == plane.series; });
    if (it != open.end()) {
      cal::Stack& stack = stacks[it->second];
      const cal::Plane& last = stack.back();
      // Half the difference's variance is the noise; a frame of another field (a channel,
      // a z step) differs by as much as its scene varies.
      if (Variance(view, &last) / 2 < 0.5 * std::min(Variance(view, nullptr), Variance(last, nullptr))) {
        stack.push_back(view);
        continue;
      }
      it->second = stacks.size();
    } else {
      open.emplace_back(plane.series, stacks.size());
    }
    stacks.push_back({view});
  }
  return stacks;
}

}  // namespace tarn::cli
