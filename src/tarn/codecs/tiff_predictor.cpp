#include "tarn/codecs/tiff_predictor.hpp"

#include <algorithm>
#include <stdexcept>

namespace tarn::codecs::predictor {
namespace {

uint32_t Load(const uint8_t* at, unsigned size, bool big) {
  uint32_t value = 0;
  for (unsigned i = 0; i < size; ++i) value |= uint32_t{at[big ? size - 1 - i : i]} << (8 * i);
  return value;
}

void Store(uint8_t* at, unsigned size, bool big, uint32_t value) {
  for (unsigned i = 0; i < size; ++i) at[big ? size - 1 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

template <bool kUndo>
void Run(std::span<uint8_t> bytes, const Layout& layout) {
  const unsigned size = layout.sample_bytes;
  if ((size != 1 && size != 2 && size != 4) || layout.samples_per_pixel == 0 || layout.row_bytes == 0) {
    throw std::invalid_argument("horizontal differencing needs 1, 2 or 4-byte samples and whole rows");
  }
  const size_t stride = size_t{size} * layout.samples_per_pixel;
  for (size_t row = 0; row < bytes.size(); row += layout.row_bytes) {
    const size_t length = std::min(layout.row_bytes, bytes.size() - row) / size * size;
    uint8_t* data = bytes.data() + row;
    if (kUndo) {
      for (size_t at = stride; at < length; at += size) {
        Store(data + at, size, layout.big_endian,
              Load(data + at, size, layout.big_endian) + Load(data + at - stride, size, layout.big_endian));
      }
    } else {
      for (size_t at = length; at-- > stride;) {
        if ((at % size) != 0) continue;
        Store(data + at, size, layout.big_endian,
              Load(data + at, size, layout.big_endian) - Load(data + at - stride, size, layout.big_endian));
      }
    }
  }
}

}  // namespace

void UndoHorizontalDifferencing(std::span<uint8_t> bytes, const Layout& layout) { Run<true>(bytes, layout); }
void ApplyHorizontalDifferencing(std::span<uint8_t> bytes, const Layout& layout) { Run<false>(bytes, layout); }

}  // namespace tarn::codecs::predictor
