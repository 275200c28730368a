// Our parser of the CZI (ZISRAW) file header and sub-block directory, leading
// to the byte ranges of the uncompressed image sub-blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tarn/file/metadata/readers/byte_source.hpp"

namespace tarn::metadata::czi {

// Sub-block pixel types we hand to the image codec (integer samples only).
enum class PixelType : int32_t {
  kGray8 = 0,
  kGray16 = 1,
  kBgr24 = 3,
  kBgr48 = 4,
  kBgra32 = 9,
};

struct PixelLayout {
  uint16_t components = 0;
  uint16_t bytes_per_component = 0;
  uint64_t BytesPerPixel() const { return uint64_t{components} * bytes_per_component; }
};

// Nothing for float, complex and unknown pixel types.
std::optional<PixelLayout> LayoutOf(int32_t pixel_type);

// Pixels of one sub-block: `height` rows of `width` pixels without padding,
// components interleaved (B, G, R[, A]), little-endian.
struct Plane {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  PixelType pixel_type = PixelType::kGray8;
  // Start of the sub-block on every dimension other than X and Y ('C', 'Z', 'T', ...),
  // in directory order.
  std::vector<std::pair<char, int32_t>> coordinates;

  bool operator==(const Plane&) const = default;
};

// The planes sorted by offset, none overlapping another or the end of the file.
// Entries that are compressed, pyramid levels, in other file parts, or in any
// way inconsistent with their sub-block are left out. Throws std::runtime_error
// when the file header or the directory cannot be walked.
std::vector<Plane> FindPlanes(ByteSource& source);

}  // namespace tarn::metadata::czi
