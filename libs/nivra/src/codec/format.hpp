// Layout of a coded image (documented in the library's README):
//   "Nv", version, mode, layout byte (distance | predictor << 2 | value map flag 0x20),
//   varint width, varint height,
//   lossless mode with the value map flag: the map (see value_map.hpp),
//   prepared mode only: varint header pixel count, those pixels as 16-bit little endian,
//   context tables, varint rANS byte count, rANS bytes, raw extra bits to the end.
#pragma once

#include <cstdint>

#include "nivra/nivra.h"

namespace Brimlake::Nivra::codec {

constexpr uint8_t kMagic0 = 'N';
constexpr uint8_t kMagic1 = 'v';
constexpr uint8_t kVersion = 1;
constexpr uint8_t kModeLossless = 1;
constexpr uint8_t kModePrepared = 2;
constexpr uint8_t kValueMapFlag = 0x20;  // predictor in bits 2-4
// A prepared image keeps its original value where it is off the lattice when at
// most 1/64 of its values are: such an image was prepared, then edited. More
// off-lattice values mean the image still has to be prepared.
constexpr uint64_t kEditedImageShare = 64;

bm_status Encode(const uint16_t* pixels, uint32_t width, uint32_t height, uint8_t* destination,
                 int32_t* destination_length);
bm_status Decode(const uint8_t* source, std::size_t source_size, uint16_t* destination, std::size_t pixel_count);

}  // namespace Brimlake::Nivra::codec
