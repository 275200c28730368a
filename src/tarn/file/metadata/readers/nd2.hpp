// ND2 reader: one interleaved image chunk per uncompressed frame.
#pragma once

#include <filesystem>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn::metadata {

ChunkMap ReadNd2(const std::filesystem::path& path);

}  // namespace tarn::metadata
