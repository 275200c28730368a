#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"

#include <array>
#include <utility>

namespace tarn::chunk::image {

namespace {

// Enough for the two or three buffers one chunk operation holds at once; larger
// buffers are not kept, so that an idle thread holds at most 3 x 64 MiB.
constexpr size_t kKeptBuffers = 3;
constexpr uint64_t kLargestKept = uint64_t{64} << 20;

struct KeptBuffer {
  std::unique_ptr<uint8_t[]> data;
  uint64_t capacity = 0;
};

std::array<KeptBuffer, kKeptBuffers>& Kept() {
  thread_local std::array<KeptBuffer, kKeptBuffers> kept;
  return kept;
}

}  // namespace

ByteBuffer::ByteBuffer(uint64_t size) : size_(size), capacity_(size) {
  // The smallest kept buffer that is large enough.
  KeptBuffer* best = nullptr;
  for (KeptBuffer& kept : Kept()) {
    if (kept.data && kept.capacity >= size && (best == nullptr || kept.capacity < best->capacity)) best = &kept;
  }
  if (best != nullptr) {
    data_ = std::move(best->data);
    capacity_ = best->capacity;
    best->capacity = 0;
    return;
  }
  data_ = std::make_unique_for_overwrite<uint8_t[]>(size);
}

ByteBuffer::~ByteBuffer() {
  if (!data_ || capacity_ > kLargestKept) return;
  // Replace an empty slot, else the smallest kept buffer if this one is larger.
  KeptBuffer* slot = nullptr;
  for (KeptBuffer& kept : Kept()) {
    if (!kept.data) {
      slot = &kept;
      break;
    }
    if (kept.capacity < capacity_ && (slot == nullptr || kept.capacity < slot->capacity)) slot = &kept;
  }
  if (slot != nullptr) {
    slot->data = std::move(data_);
    slot->capacity = capacity_;
  }
}

}  // namespace tarn::chunk::image
