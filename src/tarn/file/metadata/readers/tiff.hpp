// TIFF, BigTIFF and DNG reader (through libtiff).
#pragma once

#include <filesystem>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn::metadata {

ChunkMap ReadTiff(const std::filesystem::path& path);

}  // namespace tarn::metadata
