// Static rANS with 12-bit probabilities, 32-bit state and 16-bit renormalisation;
// one frequency table per context, written ahead of the coded symbols.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec/bit_io.hpp"
#include "codec/tokens.hpp"

namespace Brimlake::Nivra::codec {

constexpr unsigned kProbBits = 12;
constexpr uint32_t kProbScale = 1u << kProbBits;
constexpr uint32_t kRansLow = 1u << 16;
constexpr unsigned kContexts = 16;

struct SymbolTable {
  std::array<uint16_t, kAlphabet> freq{};
  std::array<uint16_t, kAlphabet> start{};
};

using Histogram = std::array<uint32_t, kAlphabet>;

// Scales counts to frequencies summing to kProbScale, every present symbol at least 1.
SymbolTable NormalizeCounts(const Histogram& counts);

// Tables of the contexts that occur, preceded by a mask of those contexts.
void WriteTables(std::vector<uint8_t>& out, const std::array<Histogram, kContexts>& counts,
                 std::array<SymbolTable, kContexts>& tables);

class RansEncoder {
 public:
  // Symbols must be put in reverse order of decoding.
  void Put(uint32_t start, uint32_t freq) {
    uint64_t x_max = uint64_t{(kRansLow >> kProbBits) << 16} * freq;  // 2^32 for a certain symbol
    if (state_ >= x_max) {
      words_.push_back(static_cast<uint16_t>(state_));
      state_ >>= 16;
    }
    state_ = ((state_ / freq) << kProbBits) + (state_ % freq) + start;
  }
  // Appends the coded bytes (state first, then words in decoding order).
  void Finish(std::vector<uint8_t>& out);

 private:
  uint32_t state_ = kRansLow;
  std::vector<uint16_t> words_;
};

struct DecodeTable {
  std::array<uint8_t, kProbScale> symbol{};
  std::array<uint16_t, kAlphabet> freq{};
  std::array<uint16_t, kAlphabet> start{};
  bool present = false;
};

// Reads what WriteTables wrote; false on malformed tables.
bool ReadTables(ByteReader& in, std::array<DecodeTable, kContexts>& tables);

class RansDecoder {
 public:
  RansDecoder(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {
    if (size < 4) {
      bad_ = true;
      p_ = end_;
    } else {
      state_ = static_cast<uint32_t>(Word()) << 16;
      state_ |= Word();
    }
  }
  uint32_t Get(const DecodeTable& table) {
    uint32_t slot = state_ & (kProbScale - 1);
    uint32_t s = table.symbol[slot];
    state_ = table.freq[s] * (state_ >> kProbBits) + slot - table.start[s];
    if (state_ < kRansLow) state_ = state_ << 16 | Word();
    return s;
  }
  bool bad() const { return bad_; }
  // The stream ended exactly where the encoder began.
  bool Finished() const { return !bad_ && p_ == end_ && state_ == kRansLow; }

 private:
  uint32_t Word() {
    if (end_ - p_ < 2) {
      bad_ = true;
      return 0;
    }
    uint32_t w = p_[0] | static_cast<uint32_t>(p_[1]) << 8;
    p_ += 2;
    return w;
  }
  const uint8_t* p_;
  const uint8_t* end_;
  uint32_t state_ = 0;
  bool bad_ = false;
};

}  // namespace Brimlake::Nivra::codec
