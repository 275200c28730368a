// Bands of rows (README › Bit stream › Version 2 › Bands, Checksums): each band
// restarts prediction at its first row and has its own coder states and checksum,
// so bands are coded, decoded and checked independently, in parallel. The encoder
// cuts the image by its size alone; the decoder takes any cut the directory
// describes, provided the bands cover every row once, in order.
#pragma once

#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/bit_io.hpp"

namespace Brimlake::Nivra::codec {

struct Band {
  uint32_t first_row = 0;
  uint32_t rows = 0;
};

// How the encoder cuts an image: about band_pixels pixels per band, at least
// min_rows rows each, every band but the first starting on an even row (the
// mosaic phase of every band alike).
struct BandPlan {
  std::size_t band_pixels = std::size_t{1} << 18;
  uint32_t min_rows = 16;
};

inline std::vector<Band> PlanBands(uint32_t width, uint32_t height, const BandPlan& plan = {}) {
  const uint64_t pixels = uint64_t{width} * height;
  const uint64_t min_rows = std::max<uint32_t>(plan.min_rows, 2);
  const uint64_t count = std::max<uint64_t>(
      1, std::min<uint64_t>(pixels / std::max<std::size_t>(plan.band_pixels, 1), height / min_rows));
  std::vector<Band> bands(count);
  uint32_t begin = 0;
  for (uint64_t b = 0; b < count; ++b) {
    auto end = b + 1 == count ? height : static_cast<uint32_t>((b + 1) * height / count) & ~1u;
    bands[b] = {begin, end - begin};
    begin = end;
  }
  return bands;
}

// Checksum of decoded pixels: XXH3-64, seed 0, over the pixels as 16-bit
// little-endian values (the host order; bit_io.hpp insists on a little-endian host).
inline uint64_t PixelChecksum(const uint16_t* pixels, std::size_t count) {
  return XXH3_64bits(pixels, count * sizeof(uint16_t));
}

// One band as the directory gives it, with where its coded parts lie.
struct BandEntry {
  Band band;
  const uint8_t* rans = nullptr;
  std::size_t rans_size = 0;
  const uint8_t* bits = nullptr;
  std::size_t bits_size = 0;
  uint64_t checksum = 0;
};

// Directory: varint band count, then per band varint rows, varint rANS bytes,
// varint extra-bit bytes and the 8-byte checksum (little endian).
inline void WriteBandDirectory(std::vector<uint8_t>& out, const std::vector<BandEntry>& bands) {
  PutVarint(out, bands.size());
  for (const BandEntry& entry : bands) {
    PutVarint(out, entry.band.rows);
    PutVarint(out, entry.rans_size);
    PutVarint(out, entry.bits_size);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(entry.checksum >> (8 * i)));
  }
}

// Reads the directory and locates every band's parts, which must fill the rest
// of the stream exactly. False when the bands do not cover rows 0..height once,
// or their sizes do not add up.
inline bool ReadBandDirectory(ByteReader& in, uint32_t height, std::vector<BandEntry>& bands) {
  // Smallest possible entry: three one-byte varints, the checksum and two rANS states.
  constexpr std::size_t kMinBandBytes = 3 + 8 + 8;
  uint64_t count = in.Varint(32);
  if (!in.ok() || count == 0 || count > height || count > in.remaining() / kMinBandBytes) return false;
  bands.assign(count, {});
  uint64_t row = 0;
  for (BandEntry& entry : bands) {
    uint64_t rows = in.Varint(32);
    entry.rans_size = in.Varint(32);
    entry.bits_size = in.Varint(32);
    entry.checksum = in.Fixed(8);
    if (!in.ok() || rows == 0 || rows > height - row) return false;
    entry.band = {static_cast<uint32_t>(row), static_cast<uint32_t>(rows)};
    row += rows;
  }
  if (row != height) return false;
  for (BandEntry& entry : bands) {
    if (entry.rans_size > in.remaining()) return false;
    entry.rans = in.here();
    in.Skip(entry.rans_size);
    if (entry.bits_size > in.remaining()) return false;
    entry.bits = in.here();
    in.Skip(entry.bits_size);
  }
  return in.ok() && in.remaining() == 0;
}

}  // namespace Brimlake::Nivra::codec
