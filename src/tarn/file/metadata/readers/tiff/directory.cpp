#include "tarn/file/metadata/readers/tiff/directory.hpp"

#include <algorithm>
#include <bit>
#include <set>
#include <stdexcept>

#include <fmt/format.h>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/readers/tiff/segmented_images.hpp"
#include "tarn/file/metadata/readers/tiff/util/hyperstack.hpp"
#include "tarn/logger.hpp"

namespace tarn::metadata {
namespace {

using Brimlake::Nivra::ColorFilterArray;

constexpr uint16_t kCompressionNone = 1;
constexpr uint16_t kPhotometricCfa = 32803;

// The first value of a strip array, or none when the tag is absent or empty.
std::optional<uint64_t> FirstStripValue(TIFF* tiff, uint32_t tag) {
  const uint64_t* values = nullptr;
  if (TIFFGetFieldDefaulted(tiff, tag, &values) != 1 || values == nullptr || TIFFNumberOfStrips(tiff) == 0) {
    return std::nullopt;
  }
  return values[0];
}

std::endian FileEndianness(TIFF* tiff) { return TIFFIsBigEndian(tiff) ? std::endian::big : std::endian::little; }

}  // namespace

std::string ToString(const std::vector<uint8_t>& bytes) {
  return fmt::format("[{}]", fmt::join(bytes, ", "));
}

std::optional<ColorFilterArray> ReadColorFilterArrayFromDirectory(TIFF* tiff) {
  uint16_t photometric = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1) {
    Logger()->warn("TIFF misses baseline tag PhotometricInterpretation");
    return std::nullopt;
  }
  if (photometric != kPhotometricCfa) return std::nullopt;
  uint16_t count = 0;
  const uint8_t* pattern = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_CFAPATTERN, &count, &pattern) != 1 || count == 0 || pattern == nullptr) {
    Logger()->warn("PhotometricInterpretation is CFA but could not find CFAPattern2");
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes(pattern, pattern + count);
  static const std::pair<std::vector<uint8_t>, ColorFilterArray> kPatterns[] = {
      {{0, 1, 1, 2}, ColorFilterArray::kBayerRG},
      {{1, 0, 2, 1}, ColorFilterArray::kBayerGR},
      {{2, 1, 1, 0}, ColorFilterArray::kBayerBG},
      {{1, 2, 0, 1}, ColorFilterArray::kBayerGB},
  };
  for (const auto& [known, cfa] : kPatterns) {
    if (bytes == known) return cfa;
  }
  Logger()->error("Can't construct ColorFilterArray, couldn't match CFAPattern2: {}", ToString(bytes));
  return std::nullopt;
}

chunk::image::Calibration ReadCalibrationFromDirectory(TIFF* tiff, const Ifd& ifd) {
  chunk::image::Calibration calibration;
  if (ifd.make && ifd.model && ifd.exif.iso) calibration.SetIdentifier(*ifd.make, *ifd.model, *ifd.exif.iso);

  uint16_t white_count = 0;
  const uint32_t* white = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_WHITELEVEL, &white_count, &white) == 1 && white_count > 0 &&
      white != nullptr) {
    calibration.white_level = white[0];
  }
  uint16_t black_count = 0;
  const float* black = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_BLACKLEVEL, &black_count, &black) == 1 && black_count > 0 &&
      black != nullptr) {
    calibration.black_level = *std::max_element(black, black + black_count);
  }
  calibration.cfa = ReadColorFilterArrayFromDirectory(tiff);
  return calibration;
}

std::pair<uint64_t, std::unique_ptr<Chunk>> ReadImageFromDirectory(TIFF* tiff, const Ifd& ifd) {
  const auto logger = Logger();
  // libtiff hands out tile offsets under StripOffsets; tiles are not one contiguous plane.
  const std::optional<uint64_t> offset =
      TIFFIsTiled(tiff) ? std::nullopt : FirstStripValue(tiff, TIFFTAG_STRIPOFFSETS);
  if (!offset) {
    logger->error("Skip image directory missing baseline tag StripOffsets");
    return {0, nullptr};
  }
  uint16_t compression = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression) != 1) {
    logger->error("Skip image directory missing baseline tag Compression");
    return {0, nullptr};
  }
  if (compression != kCompressionNone && compression != kCompressionNivra) {
    logger->warn("Skip image directory with compression = {}", compression);
    return {0, nullptr};
  }
  uint32_t width = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1) {
    logger->error("Skip image directory missing baseline tag ImageWidth");
    return {0, nullptr};
  }
  uint32_t height = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGELENGTH, &height) != 1) {
    logger->error("Skip image directory missing baseline tag ImageHeight");
    return {0, nullptr};
  }
  uint16_t bits_per_sample = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits_per_sample) != 1) {
    logger->error("Skip image directory missing baseline tag BitsPerSample");
    return {0, nullptr};
  }
  uint16_t samples_per_pixel = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel) != 1) {
    logger->error("Skip image directory missing baseline tag SamplesPerPixel");
    return {0, nullptr};
  }
  const uint16_t bytes_per_pixel = bits_per_sample / 8;
  // A chunk cannot be empty; sub-byte samples (bilevel images) give no plane to encode.
  if (chunk::ImageDecodedLength(width, height, bytes_per_pixel) == 0) {
    logger->warn("Skip image directory with an empty plane ({} x {}, {} bits per sample)", width, height,
                 bits_per_sample);
    return {0, nullptr};
  }
  const std::endian endianness = FileEndianness(tiff);
  const chunk::image::Calibration calibration =
      samples_per_pixel == 1 ? ReadCalibrationFromDirectory(tiff, ifd) : chunk::image::Calibration{};

  if (compression == kCompressionNivra) {
    const std::optional<uint64_t> encoded_length = FirstStripValue(tiff, TIFFTAG_STRIPBYTECOUNTS);
    if (!encoded_length) throw std::runtime_error("Nivra-encoded TIFF directory has no StripByteCounts");
    return {*offset, std::make_unique<chunk::Image>(Codec::Nivra, *encoded_length, width, height, bytes_per_pixel,
                                                    endianness, calibration)};
  }
  return {*offset, std::make_unique<chunk::Image>(width, height, bytes_per_pixel, endianness, calibration)};
}

ChunkMap ReadImagesFromSubDirectories(TIFF* tiff, const Ifd& parent) {
  ChunkMap chunks;
  uint16_t count = 0;
  const uint64_t* offsets = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_SUBIFD, &count, &offsets) != 1 || count == 0 || offsets == nullptr) {
    return chunks;
  }
  // libtiff owns the array and re-reads it when the directory changes.
  const std::vector<uint64_t> sub_directories(offsets, offsets + count);
  const tdir_t current = TIFFCurrentDirectory(tiff);
  std::set<uint64_t> visited;
  for (const uint64_t sub_directory : sub_directories) {
    if (!TIFFSetSubDirectory(tiff, sub_directory)) throw std::runtime_error("Failed SetSubDirectory");
    do {
      // A chain that comes back to a directory already read would never end.
      if (!visited.insert(TIFFCurrentDirOffset(tiff)).second) break;
      if (IsSegmentedDirectory(tiff)) {
        for (auto& [offset, chunk] : ReadSegmentedImages(tiff, parent)) chunks.insert_or_assign(offset, std::move(chunk));
        continue;
      }
      auto [offset, chunk] = ReadImageFromDirectory(tiff, parent);
      if (chunk) chunks.insert_or_assign(offset, std::move(chunk));
    } while (TIFFReadDirectory(tiff));
  }
  if (!TIFFSetDirectory(tiff, current)) throw std::runtime_error("Failed SetDirectory");
  return chunks;
}

void ProcessIFD(TIFF* tiff, ChunkMap& chunks, uint32_t index) {
  bool is_hyperstack = false;
  uint32_t num_images = 0;
  if (index == 1) {
    const char* description = nullptr;
    if (TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) == 1 && description != nullptr) {
      const ImageDescriptionInfo info = ParseImageDescription(description);
      is_hyperstack = info.hyperstack;
      // A negative count means nothing sensible; it counts as absent.
      num_images = info.images && *info.images > 0 ? static_cast<uint32_t>(*info.images) : 0;
    }
  }
  const std::optional<Ifd> ifd = Ifd::FromCurrentDirectory(tiff);
  if (ifd && IsSegmentedDirectory(tiff)) {
    for (auto& [offset, chunk] : ReadSegmentedImages(tiff, *ifd)) chunks.insert_or_assign(offset, std::move(chunk));
    chunks.merge(ReadImagesFromSubDirectories(tiff, *ifd));
  } else if (ifd) {
    auto [offset, chunk] = ReadImageFromDirectory(tiff, *ifd);
    if (chunk) chunks.insert_or_assign(offset, std::move(chunk));
    chunks.merge(ReadImagesFromSubDirectories(tiff, *ifd));
  }
  if (index == 1 && is_hyperstack && num_images >= 2) {
    Logger()->info("Processing hyperstack with {} images.", num_images);
    ProcessHyperstackImage(tiff, num_images, chunks);
  }
}

}  // namespace tarn::metadata
