// Bounded random access to a source file for the ND2 and CZI parsers.
// Every offset and size in those containers is untrusted, so reads are
// range-checked here and nothing ever loads the whole file.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <vector>

namespace tarn::metadata {

// A read that would leave the file or the record being walked: damaged input.
class OutOfBounds : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Fills `out` with the bytes at `offset`; throws OutOfBounds past the end.
  void ReadAt(uint64_t offset, std::span<uint8_t> out);
  std::vector<uint8_t> ReadAt(uint64_t offset, uint64_t length);

 protected:
  virtual void ReadAt_(uint64_t offset, std::span<uint8_t> out) = 0;
};

class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(const std::filesystem::path& path);  // throws std::runtime_error
  uint64_t Size() const override { return size_; }

 private:
  void ReadAt_(uint64_t offset, std::span<uint8_t> out) override;
  std::ifstream file_;
  uint64_t size_ = 0;
};

class MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }

 private:
  void ReadAt_(uint64_t offset, std::span<uint8_t> out) override;
  std::span<const uint8_t> bytes_;
};

// Forward reading in large windows, for long runs of small records.
class ByteCursor {
 public:
  // `window` is how much is read ahead at a time.
  ByteCursor(ByteSource& source, uint64_t begin, uint64_t end, uint64_t window = uint64_t{1} << 20);
  uint64_t Position() const { return position_; }
  uint64_t Remaining() const { return end_ - position_; }
  // The next n bytes, valid until the next call; throws OutOfBounds past `end`.
  std::span<const uint8_t> Take(uint64_t n);

 private:
  ByteSource& source_;
  uint64_t position_;
  uint64_t end_;
  uint64_t window_size_;
  std::vector<uint8_t> window_;
  uint64_t window_begin_ = 0;
};

// True when [offset, offset + length) lies inside [0, size), without overflow.
inline bool RangeFits(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// Overflow-checked 64-bit arithmetic: true when the result does not fit.
inline bool AddOverflows(uint64_t a, uint64_t b, uint64_t& sum) { return __builtin_add_overflow(a, b, &sum); }
inline bool MulOverflows(uint64_t a, uint64_t b, uint64_t& product) {
  return __builtin_mul_overflow(a, b, &product);
}

// Little-endian integer at `bytes` (the caller has checked the bounds).
template <typename T>
T LoadLittleEndian(const uint8_t* bytes) {
  static_assert(std::is_integral_v<T>);
  std::make_unsigned_t<T> value = 0;
  for (size_t i = sizeof(T); i-- > 0;) {
    value = static_cast<std::make_unsigned_t<T>>((value << 8) | bytes[i]);
  }
  return static_cast<T>(value);
}

}  // namespace tarn::metadata
