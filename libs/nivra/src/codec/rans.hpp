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

// Symbols to encode: context << kContextShift | token (one flat table index).
constexpr unsigned kContextShift = 6;
static_assert(kAlphabet <= 1u << kContextShift);

// Codes the symbols (context << kContextShift | token) with the tables, appending the bytes
// the decoder reads: the final states of the even and the odd symbols (high
// word first), then the words in decoding order.
void RansEncode(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                std::vector<uint8_t>& out);

// The decoding tables of every context, side by side: a context's slot is found
// by shifting, not by multiplying by a table's size.
struct DecodeTables {
  // Per context and slot of the state: the symbol.
  std::array<std::array<uint8_t, kProbScale>, kContexts> symbol{};
  // Per context and symbol: frequency in the low 16 bits, start in the high 16 (one load).
  std::array<std::array<uint32_t, 64>, kContexts> freq_start{};
  static_assert(kAbsentToken < 64);
};

// Reads what WriteTables wrote; false on malformed tables.
bool ReadTables(ByteReader& in, DecodeTables& tables);

// Two interleaved states (even and odd symbols) share one word stream, so the
// decoder's two dependency chains overlap.
// condition ? a : b without a branch: compilers turn the renormalisation's
// conditional expression into a jump, which the data makes unpredictable.
inline uint32_t Select(uint32_t condition, uint32_t a, uint32_t b) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %1, %1\n\tcmovnz %2, %0" : "+r"(b) : "r"(condition), "r"(a) : "cc");
  return b;
#else
  uint32_t mask = 0u - (condition != 0);
  return (a & mask) | (b & ~mask);
#endif
}

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
  // kChecked false: the caller made sure that a word is left for every symbol it
  // takes (remaining() >= 2 · symbols), so no symbol needs to look.
  template <bool kChecked = true>
  [[gnu::always_inline]] uint32_t Get(const DecodeTables& tables, uint32_t context) {
    uint32_t x = current_;
    uint32_t slot = x & (kProbScale - 1);
    uint32_t s = tables.symbol[context][slot];
    uint32_t freq_start = tables.freq_start[context][s];
    x = (freq_start & 0xFFFF) * (x >> kProbBits) + slot - (freq_start >> 16);
    // Renormalise without a branch that the data would make unpredictable.
    uint32_t need = x < kRansLow;
    uint32_t word;
    if constexpr (kChecked) {
      uint32_t available = end_ - p_ >= 2;
      word = available ? Load16(p_) : 0;
      bad_ |= need & !available;
      need &= available;
    } else {
      word = Load16(p_);
    }
    x = Select(need, x << 16 | word, x);
    p_ += 2 * need;
    // The states take turns; swapping keeps both in registers.
    current_ = next_;
    next_ = x;
    return s;
  }
  bool bad() const { return bad_; }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
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
