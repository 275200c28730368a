// The image attributes of an ND2 file, decoded from the binary "LV" form
// (version 3) or the older XML form (version 2).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarn::metadata::nd2 {

// One integer attribute; `conflicting` marks a field stored twice with
// different values or with a non-integer type, which we refuse to guess about.
struct Field {
  std::optional<int64_t> value;
  bool conflicting = false;
};

struct Attributes {
  Field width;              // uiWidth
  Field width_bytes;        // uiWidthBytes: row stride, padding included
  Field height;             // uiHeight
  Field components;         // uiComp: interleaved samples per pixel
  Field bits_per_component; // uiBpcInMemory
  Field compression;        // eCompression: 0 lossless, 1 lossy, 2 none
  Field tile_width;         // uiTileWidth
  Field tile_height;        // uiTileHeight
};

// Both throw std::runtime_error on data they cannot walk safely.
Attributes DecodeLvAttributes(std::span<const uint8_t> data);
Attributes DecodeXmlAttributes(std::span<const uint8_t> data);
// XML when the data starts (after blanks or a byte order mark) with '<', else LV.
Attributes DecodeAttributes(std::span<const uint8_t> data);

}  // namespace tarn::metadata::nd2
