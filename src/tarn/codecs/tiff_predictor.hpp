// TIFF horizontal differencing (Predictor 2): each sample stored as its difference from
// the same sample of the pixel to its left, modulo its width, in the file's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarn::codecs::predictor {

struct Layout {
  size_t row_bytes;         // bytes of one row
  unsigned sample_bytes;    // 1, 2 or 4
  unsigned samples_per_pixel;
  bool big_endian;
};

// In place; the bytes are whole rows (a shorter last row is taken as it is).
void UndoHorizontalDifferencing(std::span<uint8_t> bytes, const Layout& layout);
void ApplyHorizontalDifferencing(std::span<uint8_t> bytes, const Layout& layout);

}  // namespace tarn::codecs::predictor
