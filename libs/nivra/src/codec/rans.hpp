// Static rANS with 12-bit probabilities, 31-bit state and 16-bit renormalisation;
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
constexpr uint32_t kRansLow = 1u << 15;  // states stay below 2^31 for the reciprocal encoder
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

// Codes the symbols (context << 8 | token) with the tables, appending the bytes
// the decoder reads: the final states of the even and the odd symbols (high
// word first), then the words in decoding order.
void RansEncode(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                std::vector<uint8_t>& out);

struct DecodeTable {
  std::array<uint8_t, kProbScale> symbol{};
  std::array<uint16_t, kAlphabet> freq{};
  std::array<uint16_t, kAlphabet> start{};
  bool present = false;
};

// Reads what WriteTables wrote; false on malformed tables.
bool ReadTables(ByteReader& in, std::array<DecodeTable, kContexts>& tables);

// Two interleaved states (even and odd symbols) share one word stream, so the
// decoder's two dependency chains overlap.
class RansDecoder {
 public:
  RansDecoder(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {
    if (size < 8) {
      bad_ = true;
      p_ = end_;
      return;
    }
    current_ = Load16(p_) << 16 | Load16(p_ + 2);
    next_ = Load16(p_ + 4) << 16 | Load16(p_ + 6);
    p_ += 8;
  }
  uint32_t Get(const DecodeTable& table) {
    uint32_t x = current_;
    uint32_t slot = x & (kProbScale - 1);
    uint32_t s = table.symbol[slot];
    x = table.freq[s] * (x >> kProbBits) + slot - table.start[s];
    // Renormalise without a branch that the data would make unpredictable.
    bool available = end_ - p_ >= 2;
    uint32_t word = available ? Load16(p_) : 0;
    uint32_t need = x < kRansLow;
    bad_ |= need & !available;
    x = need ? (x << 16 | word) : x;
    p_ += 2 * (need & available);
    // The states take turns; swapping keeps both in registers.
    current_ = next_;
    next_ = x;
    return s;
  }
  bool bad() const { return bad_; }
  // The stream ended exactly where the encoder began.
  bool Finished() const { return !bad_ && p_ == end_ && current_ == kRansLow && next_ == kRansLow; }

 private:
  static uint32_t Load16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }
  const uint8_t* p_;
  const uint8_t* end_;
  uint32_t current_ = 0;  // state of the next symbol
  uint32_t next_ = 0;
  bool bad_ = false;
};

}  // namespace Brimlake::Nivra::codec
