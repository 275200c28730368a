// Source readers chosen by lowercase file extension (leading dot included).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn {

using Reader = std::function<ChunkMap(const std::filesystem::path&)>;

extern const std::map<std::string, Reader> kReaders;

// Smaller pieces cost more to describe and code than they could save: a reader's map may
// hold at most one chunk per started kMinBytesPerChunk bytes of its file, and hyperstack
// planes smaller than this are not taken apart.
inline constexpr uint64_t kMinBytesPerChunk = 512;

// Throws std::runtime_error when `chunks` breaks the bound for a file of `file_size` bytes.
void CheckChunkCount(const ChunkMap& chunks, uint64_t file_size);

}  // namespace tarn
