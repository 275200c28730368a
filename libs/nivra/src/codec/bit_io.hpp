// Byte and bit level readers and writers of the coded stream. Readers never
// read past their buffer: running out sets a flag that the decoder checks.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace Brimlake::Nivra::codec {

inline void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return size_ - pos_; }
  const uint8_t* here() const { return data_ + pos_; }

  uint8_t Byte() {
    if (pos_ >= size_) return Fail();
    return data_[pos_++];
  }
  uint64_t Varint(unsigned max_bits = 64) {
    uint64_t v = 0;
    for (unsigned shift = 0; shift < max_bits; shift += 7) {
      uint8_t b = Byte();
      if (!ok_) return 0;
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return max_bits == 64 || v >> max_bits == 0 ? v : Fail();
    }
    return Fail();
  }
  uint64_t Fixed(unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(Byte()) << (8 * i);
    return ok_ ? v : 0;
  }
  void Skip(std::size_t n) {
    if (n > remaining()) Fail(); else pos_ += n;
  }

 private:
  uint8_t Fail() {
    ok_ = false;
    pos_ = size_;
    return 0;
  }
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Least significant bit first. Words are stored and loaded whole, which
// assumes a little-endian host (as the pixel buffers do).
static_assert(std::endian::native == std::endian::little, "the bit stream assumes a little-endian host");

// A small value type: copy it into a local for a hot loop and back afterwards.
class BitWriter {
 public:
  // The buffer must hold every bit that will be put, plus 8 bytes.
  explicit BitWriter(uint8_t* buffer) : bytes_(buffer) {}

  [[gnu::always_inline]] void Put(uint32_t value, unsigned bits) {  // bits <= 32
    acc_ |= static_cast<uint64_t>(value) << fill_;
    fill_ += bits;
    std::memcpy(bytes_ + size_, &acc_, 8);
    size_ += fill_ >> 3;
    acc_ >>= fill_ & ~7u;
    fill_ &= 7;
  }
  // Bytes written, the last one completed with zero bits.
  std::size_t Finish() {
    std::memcpy(bytes_ + size_, &acc_, 8);
    size_ += (fill_ + 7) >> 3;
    fill_ = 0;
    acc_ = 0;
    return size_;
  }

 private:
  uint8_t* bytes_;
  std::size_t size_ = 0;
  uint64_t acc_ = 0;
  unsigned fill_ = 0;
};

// Reads extra bits by their position in the stream alone: a bit's place follows from the
// lengths before it, so the reads of a row can be issued without waiting on each other.
class BitCursor {
 public:
  BitCursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Whether `bits` more bits can be read by full 8-byte loads without passing the end.
  bool Unchecked(uint64_t bits) const { return ((bit_ + bits) >> 3) + 8 <= size_; }
  // The 64 bits from bit `at` on (bits past the end read as zeros). Unchecked: loads 8 bytes.
  template <bool kChecked = true>
  [[gnu::always_inline]] uint64_t Peek(uint64_t at) const {
    uint64_t word = 0;
    const std::size_t byte = static_cast<std::size_t>(at >> 3);
    if (!kChecked || byte + 8 <= size_) {
      std::memcpy(&word, data_ + byte, 8);
    } else {
      for (std::size_t i = byte; i < size_; ++i) word |= static_cast<uint64_t>(data_[i]) << (8 * (i - byte));
    }
    return word >> (at & 7);
  }
  [[gnu::always_inline]] uint32_t Get(unsigned bits) {  // bits <= 32
    const uint32_t value = static_cast<uint32_t>(Peek(bit_) & ((uint64_t{1} << bits) - 1));
    bit_ += bits;
    return value;
  }
  uint64_t position() const { return bit_; }
  void Advance(uint64_t bits) { bit_ += bits; }
  // True when more bits were taken than the buffer held.
  bool overrun() const { return bit_ > uint64_t{size_} * 8; }
  // Bytes holding the bits taken so far (the last one possibly in part).
  std::size_t BytesUsed() const { return static_cast<std::size_t>((bit_ + 7) >> 3); }

 private:
  const uint8_t* data_;
  std::size_t size_;
  uint64_t bit_ = 0;
};

class BitReader {
 public:
  BitReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[gnu::always_inline]] uint32_t Get(unsigned bits) {  // bits <= 32
    if (size_ - pos_ >= 8) {
      // Far from the end (nearly always): refill from one 8-byte load, whether
      // needed or not, which spares a branch that the data would make unpredictable.
      uint64_t word;
      std::memcpy(&word, data_ + pos_, 8);
      acc_ |= word << fill_;
      pos_ += (63 - fill_) >> 3;
      fill_ |= 56;
    } else if (fill_ < bits) {
      while (fill_ <= 56 && pos_ < size_) {
        acc_ |= static_cast<uint64_t>(data_[pos_++]) << fill_;
        fill_ += 8;
      }
      if (fill_ < bits) {  // past the end: the missing bits read as zeros
        overrun_ = true;
        fill_ = bits;
      }
    }
    auto value = static_cast<uint32_t>(acc_ & ((uint64_t{1} << bits) - 1));
    acc_ >>= bits;
    fill_ -= bits;
    return value;
  }
  // Bytes not yet loaded.
  std::size_t remaining() const { return size_ - pos_; }
  // True when more bits were taken than the buffer held.
  bool overrun() const { return overrun_; }
  // Bytes holding the bits taken so far (the last one possibly in part).
  std::size_t BytesUsed() const { return (pos_ * 8 - fill_ + 7) / 8; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  uint64_t acc_ = 0;
  unsigned fill_ = 0;
  bool overrun_ = false;
};

}  // namespace Brimlake::Nivra::codec
