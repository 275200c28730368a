// Static rANS with 12-bit probabilities, 31-bit state and 16-bit renormalisation;
// one frequency table per context, written ahead of the coded symbols.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
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
// word first), then the words in decoding order. Versions 1 and 2.
void RansEncode(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                std::vector<uint8_t>& out);

// Version 3: `states` (a power of two, at most kMaxRansStates) interleaved states; the symbol of
// the sample in column x of a row of `width` uses state x mod states. The first `skip` samples
// of the band have no symbol (header pixels), the others one each. Appends the final states
// (state 0 first, high word first each), then the words in decoding order.
constexpr unsigned kMaxRansStates = 16;
void RansEncodeColumns(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                       std::size_t width, std::size_t skip, unsigned states, std::vector<uint8_t>& out);

// Decoding tables: per context and slot of the state one 32-bit entry with the slot's
// symbol, its frequency and the slot's offset from the symbol's start, so that a step
// takes one load. Contexts the stream has no table for share one static table of the
// absent token, which leaves the state as it is.
struct DecodeTables {
  static constexpr unsigned kFreqBits = 13;   // 1 .. 4096
  static constexpr unsigned kOffsetBits = 12;  // 0 .. 4095
  static constexpr unsigned kSymbolShift = kFreqBits + kOffsetBits;
  static_assert(kAbsentToken < 1u << (32 - kSymbolShift));
  static constexpr uint32_t Entry(uint32_t symbol, uint32_t freq, uint32_t offset) {
    return symbol << kSymbolShift | offset << kFreqBits | freq;
  }
  // One table of kProbScale entries per context (the absent one when the stream has none).
  std::array<const uint32_t*, kContexts> context{};
  std::unique_ptr<uint32_t[]> storage;  // the tables of the contexts present
};

// Reads what WriteTables wrote; false on malformed tables.
bool ReadTables(ByteReader& in, DecodeTables& tables);

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

// One decoding step of state x in a context's table: the symbol, and the state renormalised
// from the word at p when it fell below kRansLow (p then moves on by one word).
[[gnu::always_inline]] inline uint32_t RansStep(const uint32_t* table, uint32_t& x, uint32_t word, uint32_t& need) {
  const uint32_t e = table[x & (kProbScale - 1)];
  uint32_t y = (e & ((1u << DecodeTables::kFreqBits) - 1)) * (x >> kProbBits) +
               ((e >> DecodeTables::kFreqBits) & ((1u << DecodeTables::kOffsetBits) - 1));
  need = y < kRansLow;
  x = Select(need, y << 16 | word, y);
  return e >> DecodeTables::kSymbolShift;
}

// Versions 1 and 2: two interleaved states (even and odd symbols) share one word stream, so
// the decoder's two dependency chains overlap.
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
    const uint32_t e = tables.context[context][x & (kProbScale - 1)];
    const uint32_t s = e >> DecodeTables::kSymbolShift;
    x = (e & ((1u << DecodeTables::kFreqBits) - 1)) * (x >> kProbBits) +
        ((e >> DecodeTables::kFreqBits) & ((1u << DecodeTables::kOffsetBits) - 1));
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

namespace Brimlake::Nivra::codec {

// Version 3's coder of a band: `N` states, the symbol of column x using state x mod N, all
// reading one stream of 16-bit words. Rows are decoded whole (their contexts are known
// first), so the N chains of dependent steps overlap.
template <unsigned N>
class RansColumns {
 public:
  RansColumns(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {
    if (size < 4 * N) {
      bad_ = true;
      p_ = end_;
      x_.fill(kRansLow);
      return;
    }
    for (unsigned j = 0; j < N; ++j) x_[j] = Load16(p_ + 4 * j) << 16 | Load16(p_ + 4 * j + 2);
    p_ += 4 * N;
  }

  // Tokens of a row of `width` samples in the given contexts. kChecked false: the caller made sure
  // that a word is left for every symbol (remaining() >= 2 · width).
  template <bool kChecked>
  [[gnu::always_inline]] void Row(const DecodeTables& tables, const uint8_t* contexts, std::size_t width,
                                  uint8_t* tokens) {
    std::array<uint32_t, N> x = x_;
    const uint8_t* p = p_;
    bool bad = false;
    auto step = [&](unsigned j, std::size_t i) __attribute__((always_inline)) {
      uint32_t word, available = 1;
      if constexpr (kChecked) {
        available = end_ - p >= 2;
        word = available ? Load16(p) : 0;
      } else {
        word = Load16(p);
      }
      uint32_t need;
      tokens[i] = static_cast<uint8_t>(RansStep(tables.context[contexts[i]], x[j], word, need));
      if constexpr (kChecked) {
        bad |= need & !available;
        need &= available;
      }
      p += 2 * need;
    };
    std::size_t i = 0;
    for (; i + N <= width; i += N) {
      [&]<unsigned... J>(std::integer_sequence<unsigned, J...>) __attribute__((always_inline)) {
        (step(J, i + J), ...);
      }(std::make_integer_sequence<unsigned, N>{});
    }
    [&]<unsigned... J>(std::integer_sequence<unsigned, J...>) __attribute__((always_inline)) {
      ((i + J < width ? step(J, i + J) : void()), ...);
    }(std::make_integer_sequence<unsigned, N>{});
    x_ = x;
    p_ = p;
    bad_ |= bad;
  }

  // The token of one sample in column `column`, for samples whose context waits for the one before.
  template <bool kChecked>
  [[gnu::always_inline]] uint32_t Get(const DecodeTables& tables, uint32_t context, std::size_t column) {
    uint32_t word, available = 1;
    if constexpr (kChecked) {
      available = end_ - p_ >= 2;
      word = available ? Load16(p_) : 0;
    } else {
      word = Load16(p_);
    }
    uint32_t need;
    const uint32_t s = RansStep(tables.context[context], x_[column & (N - 1)], word, need);
    if constexpr (kChecked) {
      bad_ |= need & !available;
      need &= available;
    }
    p_ += 2 * need;
    return s;
  }

  bool bad() const { return bad_; }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  // The stream ended exactly where the encoder began.
  bool Finished() const {
    if (bad_ || p_ != end_) return false;
    for (uint32_t x : x_) {
      if (x != kRansLow) return false;
    }
    return true;
  }

 private:
  static uint32_t Load16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }
  const uint8_t* p_;
  const uint8_t* end_;
  std::array<uint32_t, N> x_{};
  bool bad_ = false;
};

}  // namespace Brimlake::Nivra::codec
