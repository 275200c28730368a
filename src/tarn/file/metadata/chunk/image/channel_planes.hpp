// Interleaved rows to one plane per channel (rows padded to 4 bytes) and back.
#pragma once

#include <cstdint>
#include <span>

namespace tarn::chunk::image {

struct ChannelPlanes {
  uint32_t width;
  uint32_t height;
  uint32_t width_bytes;
  uint16_t channels;
  uint16_t bytes_per_pixel;

  uint64_t RowBytes() const { return uint64_t{width} * bytes_per_pixel; }
  uint64_t PaddedRowBytes() const { return (RowBytes() + 3) / 4 * 4; }
  uint64_t InterleavedBytes() const { return uint64_t{width_bytes} * height; }
  uint64_t PaddedPlanesBytes() const { return uint64_t{channels} * height * PaddedRowBytes(); }
  uint64_t UnpaddedPlanesBytes() const { return uint64_t{channels} * height * RowBytes(); }
  // Whether every byte after the pixels of each row is zero, so that planes
  // rebuilt into a zeroed buffer give back exactly these rows.
  bool RowPaddingIsZero(std::span<const uint8_t> interleaved) const;

  // interleaved holds InterleavedBytes(), planes PaddedPlanesBytes().
  void Rearrange(std::span<const uint8_t> interleaved, std::span<uint8_t> planes) const;
  // Writes the pixels of planes (padded rows when padded, else unpadded) into
  // interleaved, leaving every other byte of it as it was.
  void Reset(std::span<const uint8_t> planes, bool padded, std::span<uint8_t> interleaved) const;
};

}  // namespace tarn::chunk::image
