// TIFF LZW (compression 5): 9- to 12-bit codes, most significant bit first, Clear 256,
// EOI 257, a code wider one entry early. Writers differ only in when they send Clear
// (libtiff: when the table is full or the ratio drops), so the decoder records where
// each Clear came and the encoder sends them at the same places: with the same clears,
// the same bytes give the same stream.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace tarn::codecs::lzw {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Decoded {
  std::vector<uint8_t> bytes;
  // Output offsets at which a Clear code came, in order (0 for the usual leading one).
  std::vector<uint64_t> clears;
  size_t end = 0;     // bytes of the input the codes took, the last one padded
  bool eoi = false;   // the codes ended with EOI (rather than with the input)
};

// Stops at EOI or the end of the input; more than `limit` bytes of output is a FormatError.
Decoded Decode(std::span<const uint8_t> stream, size_t limit);

// Codes `bytes` sending Clear at each offset of `clears` (ascending), then EOI; the last
// byte is padded with zero bits.
std::vector<uint8_t> Encode(std::span<const uint8_t> bytes, std::span<const uint64_t> clears);

}  // namespace tarn::codecs::lzw
