// Source readers by lowercase extension; each reader adds its own rows here.
#include "tarn/file/readers.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "tarn/file/metadata/readers/czi.hpp"
#include "tarn/file/metadata/readers/nd2.hpp"
#include "tarn/file/metadata/readers/tiff.hpp"

namespace tarn {

const std::map<std::string, Reader> kReaders = {
    {".czi", metadata::ReadCzi},
    {".nd2", metadata::ReadNd2},
    {".tiff", metadata::ReadTiff},
    {".tif", metadata::ReadTiff},
    {".dng", metadata::ReadTiff},
};

}  // namespace tarn

namespace tarn {

void CheckChunkCount(const ChunkMap& chunks, uint64_t file_size) {
  const uint64_t limit = file_size / kMinBytesPerChunk + (file_size % kMinBytesPerChunk != 0 ? 1 : 0);
  if (chunks.size() > limit) {
    throw std::runtime_error(fmt::format("{} chunks in a file of {} bytes are more than one per {} bytes",
                                         chunks.size(), file_size, kMinBytesPerChunk));
  }
}

}  // namespace tarn
