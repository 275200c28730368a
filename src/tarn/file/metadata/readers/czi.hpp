// CZI reader: one image chunk per uncompressed image sub-block.
#pragma once

#include <filesystem>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn::metadata {

ChunkMap ReadCzi(const std::filesystem::path& path);

}  // namespace tarn::metadata
