// Layout of a coded image (README › Bit stream):
//   "Nv", version, mode, layout byte (distance | predictor << 2 | value map flag 0x20
//   | version 2: rANS states code << 6),
//   varint width, varint height,
//   lossless mode with the value map flag: the map (see value_map.hpp),
//   prepared mode only: varint header pixel count, those pixels as 16-bit little endian,
//   context tables,
//   version 1: varint rANS byte count, rANS bytes, raw extra bits to the end;
//   version 2: the band directory, then per band its rANS bytes and its extra
//              bits (see bands.hpp).
#pragma once

#include <cstdint>

#include "codec/bands.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::codec {

constexpr uint8_t kMagic0 = 'N';
constexpr uint8_t kMagic1 = 'v';
constexpr uint8_t kVersion1 = 1;  // one stream for the whole image, no checksum: decoded only
constexpr uint8_t kVersion2 = 2;  // bands of rows, each with its checksum; two rANS states
constexpr uint8_t kVersion3 = 3;  // as version 2, with more rANS states per band
constexpr uint8_t kVersion = kVersion3;  // what the encoder writes unless asked for version 2
constexpr uint8_t kModeLossless = 1;
constexpr uint8_t kModePrepared = 2;
constexpr uint8_t kValueMapFlag = 0x20;  // predictor in bits 2-4
// Bits 6-7 of the layout byte: 2 << code interleaved rANS states per band (version 3;
// versions 1 and 2 have code 0, two states).
constexpr unsigned kRansStatesShift = 6;
constexpr unsigned kRansStatesMax = 16;
// The version 3 encoder gives a band one state per this many pixels at most.
constexpr std::size_t kPixelsPerRansState = 4096;

// What the encoder may vary without changing the format; tests and the fuzz
// target use small bands to reach multi-band streams with small images.
struct EncodeOptions {
  BandPlan bands;
  uint8_t version = kVersion;  // kVersion2 or kVersion3
};

bm_status Encode(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                 int32_t* destination_length, const ParallelFor& parallel_for, const EncodeOptions& options = {});
bm_status Decode(const uint8_t* source, std::size_t source_size, uint16_t* destination, std::size_t pixel_count,
                 const ParallelFor& parallel_for);
// Decodes band by band into buffers of a band's size and compares with `pixels` (nivra.hpp › verify).
bm_status Verify(const uint8_t* source, std::size_t source_size, const uint16_t* pixels, std::size_t pixel_count,
                 const ParallelFor& parallel_for, bool& same_pixels);

}  // namespace Brimlake::Nivra::codec
