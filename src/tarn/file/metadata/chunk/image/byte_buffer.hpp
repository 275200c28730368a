// A chunk-sized buffer that is not zeroed first: every byte is overwritten
// before it is used, and zeroing would cost a pass over the whole image.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace tarn::chunk::image {

class ByteBuffer {
 public:
  explicit ByteBuffer(uint64_t size) : data_(std::make_unique_for_overwrite<uint8_t[]>(size)), size_(size) {}

  std::span<uint8_t> span() { return {data_.get(), size_}; }
  std::span<const uint8_t> span() const { return {data_.get(), size_}; }
  uint64_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint64_t size_;
};

}  // namespace tarn::chunk::image
