// Bytes by offset: a local file, a file in a storage, or an object of another storage
// kind. Failures throw TransferError naming the file and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace caddistransfer {

class RandomAccessReader {
 public:
  virtual ~RandomAccessReader() = default;
  // What messages call it (a path, or a storage and a name).
  virtual std::string Name() const = 0;
  virtual uint64_t Size() = 0;
  // Reads up to `size` bytes at `offset`; fewer only at the end, 0 past it.
  virtual std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) = 0;
};

class RandomAccessFile : public RandomAccessReader {
 public:
  virtual void WriteAt(uint64_t offset, const void* data, std::size_t size) = 0;
  virtual void Truncate(uint64_t size) = 0;
};

}  // namespace caddistransfer
