#include "tarn/file/metadata/readers/tiff/util/hyperstack.hpp"

#include <bit>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/readers.hpp"
#include "tarn/logger.hpp"

namespace tarn::metadata {
namespace {

std::optional<int32_t> ParseCount(const std::map<std::string, std::string>& values, const std::string& key) {
  const auto found = values.find(key);
  if (found == values.end()) return std::nullopt;
  try {
    return std::stoi(found->second);
  } catch (const std::exception& error) {
    Logger()->warn("Invalid value for '{}': '{}'. Expected an integer. Exception: {}", key, found->second,
                   error.what());
    return std::nullopt;
  }
}

}  // namespace

ImageDescriptionInfo ParseImageDescription(const std::string& description) {
  std::map<std::string, std::string> values;
  std::istringstream lines(description);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  ImageDescriptionInfo info;
  info.images = ParseCount(values, "images");
  info.slices = ParseCount(values, "slices");
  const auto hyperstack = values.find("hyperstack");
  info.hyperstack = hyperstack != values.end() && hyperstack->second == "true";
  return info;
}

void ProcessHyperstackImage(TIFF* tiff, uint32_t num_images, ChunkMap& chunks) {
  const auto logger = Logger();
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits_per_sample = 0;
  const uint64_t* strip_offsets = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGELENGTH, &height) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits_per_sample) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_STRIPOFFSETS, &strip_offsets) != 1 || strip_offsets == nullptr ||
      TIFFNumberOfStrips(tiff) == 0) {
    logger->error("Failed to retrieve necessary tags for hyperstack processing.");
    return;
  }
  const uint16_t bytes_per_sample = bits_per_sample / 8;
  const uint64_t plane_size = chunk::ImageDecodedLength(width, height, bytes_per_sample);
  if (plane_size == 0 || plane_size > std::numeric_limits<uint32_t>::max()) {
    logger->error("Hyperstack planes of {} x {} x {} bytes are not supported; no planes added.", width, height,
                  bytes_per_sample);
    return;
  }
  // Tiny planes would turn a small file into a huge number of chunks.
  if (plane_size < kMinBytesPerChunk) {
    logger->warn("Hyperstack planes of {} bytes are smaller than {} bytes; they are kept as plain data.", plane_size,
                 kMinBytesPerChunk);
    return;
  }
  // Planes past the end of the file cannot exist; stopping there also bounds the work
  // for a description that claims billions of images.
  const uint64_t file_size = static_cast<uint64_t>(TIFFGetSizeProc(tiff)(TIFFClientdata(tiff)));
  const std::endian endianness = TIFFIsBigEndian(tiff) ? std::endian::big : std::endian::little;
  uint64_t offset = strip_offsets[0];
  if (offset > file_size) return;  // the directory's own check reports this plane
  for (uint32_t i = 1; i < num_images; ++i) {
    offset += plane_size;
    if (offset > file_size || file_size - offset < plane_size) {
      logger->warn("Hyperstack describes {} images but the file holds only {}; the missing planes are ignored.",
                   num_images, i);
      return;
    }
    if (chunks.contains(offset)) continue;
    chunks.emplace(offset, std::make_unique<chunk::Image>(width, height, bytes_per_sample, endianness,
                                                          chunk::image::Calibration{}));
  }
}

}  // namespace tarn::metadata
