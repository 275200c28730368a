// PackBits (TIFF compression 32773): runs and literals of at most 128 bytes. The encoder is
// the one of libtiff, row by row, whose choices between runs and literals the decoder
// cannot see; other writers' streams fail the exact check and stay as they are.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace tarn::codecs::packbits {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes until `size` bytes are out; a stream that ends earlier or holds more is a FormatError.
std::vector<uint8_t> Decode(std::span<const uint8_t> stream, size_t size);

// Each row of `row_bytes` (the last may be shorter) coded on its own, as libtiff does.
std::vector<uint8_t> Encode(std::span<const uint8_t> bytes, size_t row_bytes);

}  // namespace tarn::codecs::packbits
