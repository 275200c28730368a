// What a source reader returns: chunks keyed by their offset in the source.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn {

using ChunkMap = std::map<uint64_t, std::unique_ptr<Chunk>>;

}  // namespace tarn
