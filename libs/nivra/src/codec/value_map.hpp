// The sorted set of values an image uses. Data scaled or shifted from fewer
// bits leaves gaps between its values; coding ranks in this set removes them.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/bit_io.hpp"

namespace Brimlake::Nivra::codec {

class ValueMap {
 public:
  ValueMap(const uint16_t* pixels, std::size_t count) : used_(65536, 0) {
    for (std::size_t i = 0; i < count; ++i) used_[pixels[i]] = 1;
    for (uint32_t v = 0; v < 65536; ++v) {
      if (used_[v]) values_.push_back(static_cast<uint16_t>(v));
    }
  }
  // Worth trying: at most half the values of the range occur.
  bool sparse() const { return values_.size() * 2 <= static_cast<std::size_t>(values_.back() - values_.front() + 1); }

  std::vector<uint16_t> Ranks(const uint16_t* pixels, std::size_t count) const {
    std::vector<uint16_t> rank_of(65536, 0);
    for (std::size_t r = 0; r < values_.size(); ++r) rank_of[values_[r]] = static_cast<uint16_t>(r);
    std::vector<uint16_t> ranks(count);
    for (std::size_t i = 0; i < count; ++i) ranks[i] = rank_of[pixels[i]];
    return ranks;
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
  std::vector<uint8_t> used_;
  std::vector<uint16_t> values_;
};

}  // namespace Brimlake::Nivra::codec
