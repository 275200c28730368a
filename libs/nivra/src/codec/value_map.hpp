// The sorted set of values an image uses. Data scaled or shifted from fewer
// bits leaves gaps between its values; coding ranks in this set removes them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "codec/bit_io.hpp"

namespace Brimlake::Nivra::codec {

class ValueMap {
 public:
  ValueMap(const uint16_t* pixels, std::size_t count) {
    // Which values occur, as 1024 words of 64 bits. Large images mark bytes
    // first: setting bits would chain read-modify-writes on one word.
    std::array<uint64_t, 1024> used{};
    if (count < 65536) {
      for (std::size_t i = 0; i < count; ++i) used[pixels[i] >> 6] |= uint64_t{1} << (pixels[i] & 63);
    } else {
      std::vector<uint8_t> seen(65536, 0);
      for (std::size_t i = 0; i < count; ++i) seen[pixels[i]] = 1;
      for (std::size_t v = 0; v < 65536; ++v) used[v >> 6] |= uint64_t{seen[v]} << (v & 63);
    }
    std::size_t distinct = 0, lowest = 65536, highest = 0;
    for (std::size_t w = 0; w < used.size(); ++w) {
      if (used[w] == 0) continue;
      distinct += static_cast<std::size_t>(std::popcount(used[w]));
      lowest = std::min(lowest, w * 64 + static_cast<std::size_t>(std::countr_zero(used[w])));
      highest = w * 64 + 63 - static_cast<std::size_t>(std::countl_zero(used[w]));
    }
    // Worth trying when at most half the values of the range occur.
    if (distinct == 0 || distinct * 2 > highest - lowest + 1) return;
    values_.reserve(distinct);
    for (std::size_t w = 0; w < used.size(); ++w) {
      for (uint64_t bits = used[w]; bits != 0; bits &= bits - 1) {
        values_.push_back(static_cast<uint16_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
      }
    }
    // Ranks by value over the range used only: a small plane's range is small,
    // and clearing all 65536 entries would cost more than coding it.
    lowest_ = values_.front();
    rank_of_.resize(values_.back() - lowest_ + 1u);
    for (std::size_t r = 0; r < values_.size(); ++r) rank_of_[values_[r] - lowest_] = static_cast<uint16_t>(r);
  }
  bool sparse() const { return !values_.empty(); }

  // Rank of each of count pixels; any part of the image at a time.
  void Ranks(const uint16_t* pixels, std::size_t count, uint16_t* ranks) const {
    for (std::size_t i = 0; i < count; ++i) ranks[i] = rank_of_[pixels[i] - lowest_];
  }

  // varint (count − 1), varint first value, varint (gap − 1) for each next value.
  void Write(std::vector<uint8_t>& out) const {
    PutVarint(out, values_.size() - 1);
    PutVarint(out, values_.front());
    for (std::size_t r = 1; r < values_.size(); ++r) PutVarint(out, values_[r] - values_[r - 1] - 1u);
  }
  double SizeBits() const {
    std::vector<uint8_t> out;
    Write(out);
    return out.size() * 8.0;
  }

  // Reads what Write wrote; false when malformed.
  static bool Read(ByteReader& in, std::vector<uint16_t>& values) {
    uint64_t count = in.Varint(17) + 1;
    uint64_t v = in.Varint(17);
    if (!in.ok() || count > 65536 || v > 65535) return false;
    values.assign(1, static_cast<uint16_t>(v));
    for (uint64_t r = 1; r < count; ++r) {
      v += in.Varint(17) + 1;
      if (!in.ok() || v > 65535) return false;
      values.push_back(static_cast<uint16_t>(v));
    }
    return true;
  }

 private:
  std::vector<uint16_t> values_;   // empty unless sparse
  std::vector<uint16_t> rank_of_;  // by value − lowest_, when sparse
  uint16_t lowest_ = 0;
};

}  // namespace Brimlake::Nivra::codec
