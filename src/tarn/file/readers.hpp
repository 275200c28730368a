// Source readers chosen by lowercase file extension (leading dot included).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn {

using Reader = std::function<ChunkMap(const std::filesystem::path&)>;

extern const std::map<std::string, Reader> kReaders;

}  // namespace tarn
