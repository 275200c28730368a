// ImageJ hyperstacks: the first directory's description names how many planes follow
// the first one, back to back, without directories of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <tiffio.h>

#include "tarn/file/metadata/chunk_map.hpp"

namespace tarn::metadata {

struct ImageDescriptionInfo {
  bool hyperstack = false;
  std::optional<int32_t> slices;
  std::optional<int32_t> images;
};

// Lines of key=value; the last occurrence of a key wins; nothing is trimmed.
ImageDescriptionInfo ParseImageDescription(const std::string& description);

// Adds planes 2..n after the current directory's first strip, each with an empty calibration.
void ProcessHyperstackImage(TIFF* tiff, uint32_t num_images, ChunkMap& chunks);

}  // namespace tarn::metadata
