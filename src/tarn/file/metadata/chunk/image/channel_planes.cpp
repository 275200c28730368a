#include "tarn/file/metadata/chunk/image/channel_planes.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tarn::chunk::image {

namespace {

// Pixels of one channel are `stride` bytes apart in an interleaved row.
template <size_t kBytes>
void Gather(const uint8_t* row, size_t width, size_t stride, uint8_t* plane_row) {
  for (size_t x = 0; x < width; ++x) std::memcpy(plane_row + x * kBytes, row + x * stride, kBytes);
}

template <size_t kBytes>
void Scatter(const uint8_t* plane_row, size_t width, size_t stride, uint8_t* row) {
  for (size_t x = 0; x < width; ++x) std::memcpy(row + x * stride, plane_row + x * kBytes, kBytes);
}

void GatherAny(const uint8_t* row, size_t width, size_t stride, size_t bytes, uint8_t* plane_row) {
  switch (bytes) {
    case 1: return Gather<1>(row, width, stride, plane_row);
    case 2: return Gather<2>(row, width, stride, plane_row);
    case 4: return Gather<4>(row, width, stride, plane_row);
    default:
      for (size_t x = 0; x < width; ++x) std::memcpy(plane_row + x * bytes, row + x * stride, bytes);
  }
}

void ScatterAny(const uint8_t* plane_row, size_t width, size_t stride, size_t bytes, uint8_t* row) {
  switch (bytes) {
    case 1: return Scatter<1>(plane_row, width, stride, row);
    case 2: return Scatter<2>(plane_row, width, stride, row);
    case 4: return Scatter<4>(plane_row, width, stride, row);
    default:
      for (size_t x = 0; x < width; ++x) std::memcpy(row + x * stride, plane_row + x * bytes, bytes);
  }
}

}  // namespace

bool ChannelPlanes::RowPaddingIsZero(std::span<const uint8_t> interleaved) const {
  const uint64_t pixels = uint64_t{channels} * RowBytes();
  if (pixels >= width_bytes) return true;
  for (uint64_t y = 0; y < height; ++y) {
    const uint8_t* padding = interleaved.data() + y * width_bytes + pixels;
    if (std::any_of(padding, padding + (width_bytes - pixels), [](uint8_t byte) { return byte != 0; })) return false;
  }
  return true;
}

void ChannelPlanes::Rearrange(std::span<const uint8_t> interleaved, std::span<uint8_t> planes) const {
  if (interleaved.size() < InterleavedBytes() || planes.size() < PaddedPlanesBytes()) {
    throw std::invalid_argument("buffers too small to rearrange the image channels");
  }
  const size_t row_bytes = RowBytes();
  const size_t padded = PaddedRowBytes();
  const size_t stride = size_t{channels} * bytes_per_pixel;
  uint8_t* plane_row = planes.data();
  for (size_t c = 0; c < channels; ++c) {
    for (size_t y = 0; y < height; ++y) {
      const uint8_t* row = interleaved.data() + y * width_bytes + c * bytes_per_pixel;
      GatherAny(row, width, stride, bytes_per_pixel, plane_row);
      std::memset(plane_row + row_bytes, 0, padded - row_bytes);
      plane_row += padded;
    }
  }
}

void ChannelPlanes::Reset(std::span<const uint8_t> planes, bool padded, std::span<uint8_t> interleaved) const {
  const size_t plane_row_bytes = padded ? PaddedRowBytes() : RowBytes();
  if (interleaved.size() < InterleavedBytes() || planes.size() < uint64_t{channels} * height * plane_row_bytes) {
    throw std::invalid_argument("buffers too small to reset the image channels");
  }
  const size_t stride = size_t{channels} * bytes_per_pixel;
  const uint8_t* plane_row = planes.data();
  for (size_t c = 0; c < channels; ++c) {
    for (size_t y = 0; y < height; ++y) {
      uint8_t* row = interleaved.data() + y * width_bytes + c * bytes_per_pixel;
      ScatterAny(plane_row, width, stride, bytes_per_pixel, row);
      plane_row += plane_row_bytes;
    }
  }
}

}  // namespace tarn::chunk::image
