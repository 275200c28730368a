// The kind of a chunk as people read it in `tarn info` and `tarn test`.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::cli {

// "image", "interleaved" or "data".
const char* ChunkKindName(const Chunk& chunk);

// What people must know of a chunk beyond its kind and codec: "prepared, lossy" when its
// Nivra stream is in the prepared mode, "no Nivra stream" when its start is not one;
// empty otherwise. Reads the start of the chunk at `offset` of `file`, without decoding.
std::string ChunkMark(const Chunk& chunk, std::istream& file, uint64_t offset);

inline constexpr const char* kPreparedMark = "prepared, lossy";

}  // namespace tarn::cli
