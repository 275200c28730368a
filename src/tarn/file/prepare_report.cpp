#include "tarn/file/prepare_report.hpp"

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/chunk/reencoded_image.hpp"

namespace tarn {
namespace {

// Preparing replaces the noise of 16-bit images only.
std::optional<uint16_t> BytesPerPixel(const Chunk& chunk) {
  if (const auto* image = dynamic_cast<const chunk::Image*>(&chunk)) return image->bytes_per_pixel;
  if (const auto* image = dynamic_cast<const chunk::InterleavedImage*>(&chunk)) return image->bytes_per_pixel;
  // Lossless JPEG tiles are written back prepared; other codings are not.
  if (const auto* image = dynamic_cast<const chunk::ReencodedImage*>(&chunk)) {
    if (image->coding.coding == chunk::reencoded::Coding::kLosslessJpeg) return image->bytes_per_pixel;
  }
  return std::nullopt;
}

}  // namespace

PrepareReport PrepareReport::Of(const Metadata& metadata) {
  PrepareReport report;
  for (const auto& chunk : metadata.chunks) {
    if (BytesPerPixel(*chunk) != 2) continue;
    ++(chunk->codec == Codec::None ? report.images : report.compressed_images);
  }
  return report;
}

void PrepareReport::Conclude(size_t prepared_images) {
  prepared = prepared_images;
  if (prepared > 0) {
    nothing_to_prepare.reset();
  } else if (images > 0) {
    nothing_to_prepare = "already prepared";
  } else if (compressed_images > 0) {
    nothing_to_prepare = "its images are compressed (decompress it first)";
  } else {
    nothing_to_prepare = "no 16-bit uncompressed image";
  }
}

NothingToPrepare::NothingToPrepare(const std::string& reason)
    : Error("nothing to prepare: " + reason, kTarnStatusIncompatibleImage) {}

}  // namespace tarn
