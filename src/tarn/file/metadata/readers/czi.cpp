#include "tarn/file/metadata/readers/czi.hpp"

#include <bit>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/readers/byte_source.hpp"
#include "tarn/file/metadata/readers/czi_directory.hpp"

namespace tarn::metadata {

ChunkMap ReadCzi(const std::filesystem::path& path) {
  FileByteSource source(path);
  ChunkMap chunks;
  for (const czi::Plane& plane : czi::FindPlanes(source)) {
    const czi::PixelLayout layout = *czi::LayoutOf(static_cast<int32_t>(plane.pixel_type));
    std::unique_ptr<Chunk> chunk;
    if (layout.components == 1) {
      chunk = std::make_unique<chunk::Image>(plane.width, plane.height, layout.bytes_per_component,
                                             std::endian::little, chunk::image::Calibration{});
    } else {
      // Rows are unpadded: the stride is one row of interleaved samples.
      const auto width_bytes = static_cast<uint32_t>(plane.width * layout.BytesPerPixel());
      chunk = std::make_unique<chunk::InterleavedImage>(plane.width, plane.height, width_bytes, layout.components,
                                                        layout.bytes_per_component, std::endian::little,
                                                        chunk::image::Calibration{});
    }
    chunks.emplace(plane.offset, std::move(chunk));
  }
  return chunks;
}

}  // namespace tarn::metadata
