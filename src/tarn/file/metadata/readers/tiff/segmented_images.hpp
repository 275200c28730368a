// Images of a TIFF directory that lie in many pieces: tiles (any coding this library
// takes) and strips coded with LZW, PackBits or lossless JPEG. Uncompressed tiles become
// plain image chunks; coded pieces become re-encoded images, one per tile and one per run
// of strips that lie back to back, so that a large tiled plane is coded in parallel.
#pragma once

#include <optional>

#include <tiffio.h>

#include "tarn/file/metadata/chunk_map.hpp"
#include "tarn/file/metadata/readers/tiff/ifd.hpp"

namespace tarn::metadata {

inline constexpr uint16_t kCompressionLzw = 5;
inline constexpr uint16_t kCompressionJpeg = 7;
inline constexpr uint16_t kCompressionPackBits = 32773;

// True when the current directory is read here rather than as one plane.
bool IsSegmentedDirectory(TIFF* tiff);

// The chunks of the current directory; nothing (and a warning saying why) when its
// layout is not one this library takes.
ChunkMap ReadSegmentedImages(TIFF* tiff, const Ifd& ifd);

}  // namespace tarn::metadata
