// A chunk-sized buffer that is not zeroed first: every byte is overwritten
// before it is used, and zeroing would cost a pass over the whole image.
// Freed buffers are kept per thread for the next chunks: images of one file
// have the same size, and fresh pages for each of them cost page faults that
// are a sizeable part of the codec's own time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace tarn::chunk::image {

class ByteBuffer {
 public:
  explicit ByteBuffer(uint64_t size);
  ~ByteBuffer();
  ByteBuffer(ByteBuffer&&) noexcept = default;
  ByteBuffer& operator=(ByteBuffer&&) = delete;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::span<uint8_t> span() { return {data_.get(), size_}; }
  std::span<const uint8_t> span() const { return {data_.get(), size_}; }
  uint64_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint64_t size_;
  uint64_t capacity_;
};

}  // namespace tarn::chunk::image
