// The kind of a chunk as people read it in `tarn info` and `tarn test`.
#pragma once

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::cli {

// "image", "interleaved" or "data".
const char* ChunkKindName(const Chunk& chunk);

}  // namespace tarn::cli
