// The fallbacks image chunks share when the Nivra codec refuses an image.
#pragma once

#include <istream>
#include <ostream>

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::chunk::image {

// Stores the chunk with zstd; when zstd fails, puts `in` back to `before`,
// takes back what zstd wrote and copies the bytes unchanged (None).
CodecResult EncodeWithZstdOrCopy(const Chunk& chunk, std::istream& in, std::ostream& out,
                                 std::istream::pos_type before);

// Copies the chunk's bytes as they are and keeps its codec.
CodecResult CopyUnchanged(const Chunk& chunk, std::istream& in, std::ostream& out);

}  // namespace tarn::chunk::image
