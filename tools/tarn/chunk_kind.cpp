#include "chunk_kind.hpp"

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"

namespace tarn::cli {

const char* ChunkKindName(const Chunk& chunk) {
  if (dynamic_cast<const chunk::InterleavedImage*>(&chunk) != nullptr) return "interleaved";
  if (dynamic_cast<const chunk::Image*>(&chunk) != nullptr) return "image";
  return "data";
}

}  // namespace tarn::cli
