#include "tarn/file/metadata/readers/nd2.hpp"

#include <bit>

#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/readers/byte_source.hpp"
#include "tarn/file/metadata/readers/nd2_reader.hpp"

namespace tarn::metadata {

ChunkMap ReadNd2(const std::filesystem::path& path) {
  FileByteSource source(path);
  ChunkMap chunks;
  for (const nd2::Frame& frame : nd2::FindFrames(source)) {
    chunks.emplace(frame.offset, std::make_unique<chunk::InterleavedImage>(
                                     frame.width, frame.height, frame.width_bytes, frame.components,
                                     frame.bytes_per_component, std::endian::little, chunk::image::Calibration{}));
  }
  return chunks;
}

}  // namespace tarn::metadata
