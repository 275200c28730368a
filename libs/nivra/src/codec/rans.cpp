#include "codec/rans.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <memory>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Brimlake::Nivra::codec {

SymbolTable NormalizeCounts(const Histogram& counts) {
  uint64_t total = 0;
  for (uint32_t c : counts) total += c;
  SymbolTable table;
  if (total == 0) return table;
  int64_t sum = 0;
  for (unsigned s = 0; s < kAlphabet; ++s) {
    if (counts[s] == 0) continue;
    uint64_t f = (static_cast<uint64_t>(counts[s]) * kProbScale + total / 2) / total;
    table.freq[s] = static_cast<uint16_t>(std::max<uint64_t>(f, 1));
    sum += table.freq[s];
  }
  // Settle the rounding on the most frequent symbols, where it costs least.
  while (sum != kProbScale) {
    unsigned best = 0;
    for (unsigned s = 1; s < kAlphabet; ++s) {
      if (table.freq[s] > table.freq[best]) best = s;
    }
    if (sum > kProbScale) {
      unsigned step = static_cast<unsigned>(std::min<int64_t>(sum - kProbScale, table.freq[best] / 2));
      if (step == 0) step = 1;
      table.freq[best] = static_cast<uint16_t>(table.freq[best] - step);
      sum -= step;
    } else {
      table.freq[best] = static_cast<uint16_t>(table.freq[best] + (kProbScale - sum));
      sum = kProbScale;
    }
  }
  uint32_t start = 0;
  for (unsigned s = 0; s < kAlphabet; ++s) {
    table.start[s] = static_cast<uint16_t>(start);
    start += table.freq[s];
  }
  return table;
}

void WriteTables(std::vector<uint8_t>& out, const std::array<Histogram, kContexts>& counts,
                 std::array<SymbolTable, kContexts>& tables) {
  uint32_t context_mask = 0;
  for (unsigned c = 0; c < kContexts; ++c) {
    tables[c] = NormalizeCounts(counts[c]);
    if (tables[c].freq != decltype(tables[c].freq){}) context_mask |= 1u << c;
  }
  PutVarint(out, context_mask);
  for (unsigned c = 0; c < kContexts; ++c) {
    if ((context_mask >> c & 1) == 0) continue;
    uint64_t symbol_mask = 0;
    unsigned last = 0;
    for (unsigned s = 0; s < kAlphabet; ++s) {
      if (tables[c].freq[s] != 0) {
        symbol_mask |= uint64_t{1} << s;
        last = s;
      }
    }
    PutVarint(out, symbol_mask);
    // The last frequency follows from the others.
    for (unsigned s = 0; s < last; ++s) {
      if (tables[c].freq[s] != 0) PutVarint(out, tables[c].freq[s] - 1u);
    }
  }
}

namespace {

// The table of a context without one: every slot gives the absent token with frequency
// kProbScale and offset slot, which leaves the state unchanged.
struct AbsentTable {
  std::array<uint32_t, kProbScale> entries;
  constexpr AbsentTable() : entries() {
    for (uint32_t slot = 0; slot < kProbScale; ++slot) {
      entries[slot] = DecodeTables::Entry(kAbsentToken, kProbScale, slot);
    }
  }
};
constexpr AbsentTable kAbsentTable;

}  // namespace

bool ReadTables(ByteReader& in, DecodeTables& tables) {
  uint64_t context_mask = in.Varint(kContexts);
  if (!in.ok()) return false;
  tables.storage.reset(new uint32_t[std::size_t{kProbScale} * static_cast<unsigned>(std::popcount(context_mask))]);
  uint32_t* next = tables.storage.get();
  for (unsigned c = 0; c < kContexts; ++c) {
    if ((context_mask >> c & 1) == 0) {
      tables.context[c] = kAbsentTable.entries.data();
      continue;
    }
    uint64_t symbol_mask = in.Varint(kAlphabet);
    if (!in.ok() || symbol_mask == 0) return false;
    unsigned last = 63 - static_cast<unsigned>(std::countl_zero(symbol_mask));
    std::array<uint32_t, kAlphabet> freq{};
    uint32_t sum = 0;
    for (unsigned s = 0; s < last; ++s) {
      if ((symbol_mask >> s & 1) == 0) continue;
      uint64_t f = in.Varint(kProbBits) + 1;
      if (!in.ok() || sum + f >= kProbScale) return false;  // the last symbol needs at least 1
      freq[s] = static_cast<uint32_t>(f);
      sum += static_cast<uint32_t>(f);
    }
    freq[last] = kProbScale - sum;
    uint32_t* table = next;
    next += kProbScale;
    tables.context[c] = table;
    uint32_t start = 0;
    for (unsigned s = 0; s <= last; ++s) {
      // A symbol's slots differ in their offset alone; small planes decode in about the time
      // these tables take to fill, so four entries are written at a time.
      const uint32_t first = DecodeTables::Entry(s, freq[s], 0);
      constexpr uint32_t kStep = 1u << DecodeTables::kFreqBits;
      uint32_t offset = 0;
#if defined(__SSE2__)
      __m128i entries = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(first)),
                                      _mm_setr_epi32(0, kStep, 2 * kStep, 3 * kStep));
      for (; offset + 4 <= freq[s]; offset += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(table + start + offset), entries);
        entries = _mm_add_epi32(entries, _mm_set1_epi32(4 * kStep));
      }
#endif
      for (; offset < freq[s]; ++offset) table[start + offset] = first + offset * kStep;
      start += freq[s];
    }
  }
  return true;
}

namespace {

// Division-free encoding step (reciprocal of the frequency, as in ryg_rans),
// 16 bytes so that a symbol's step is one aligned line fragment.
struct EncodeSymbol {
  uint32_t x_max;
  uint32_t reciprocal;
  uint32_t bias;
  uint16_t complement;
  uint16_t shift;
};
static_assert(sizeof(EncodeSymbol) == 16);

EncodeSymbol MakeEncodeSymbol(uint32_t start, uint32_t freq) {
  EncodeSymbol e{};
  e.x_max = ((kRansLow >> kProbBits) << 16) * freq;
  e.complement = static_cast<uint16_t>(kProbScale - freq);
  if (freq < 2) {
    e.reciprocal = ~0u;
    e.shift = 0;
    e.bias = start + kProbScale - 1;
  } else {
    uint32_t shift = static_cast<uint32_t>(std::bit_width(freq - 1));  // smallest with freq <= 2^shift
    e.reciprocal = static_cast<uint32_t>(((uint64_t{1} << (shift + 31)) + freq - 1) / freq);
    e.shift = static_cast<uint16_t>(shift - 1);
    e.bias = start;
  }
  return e;
}

}  // namespace

void RansEncode(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                std::vector<uint8_t>& out) {
  // Only the steps of symbols that occur are read, so only they are set.
  std::unique_ptr<EncodeSymbol[]> encode(new EncodeSymbol[kContexts << kContextShift]);
  for (unsigned c = 0; c < kContexts; ++c) {
    for (unsigned s = 0; s < kAlphabet; ++s) {
      if (tables[c].freq[s] != 0) {
        encode[c << kContextShift | s] = MakeEncodeSymbol(tables[c].start[s], tables[c].freq[s]);
      }
    }
  }
  // At most one word per symbol plus the final states, written from the back.
  std::unique_ptr<uint16_t[]> buffer(new uint16_t[count + 5]);
  uint16_t* const end = buffer.get() + count + 5;
  uint16_t* p = end;
  // Even symbols use the first state, odd ones the second; two scalars (not an
  // array indexed by parity) stay in registers.
  uint32_t even = kRansLow, odd = kRansLow;
  auto put = [&](uint32_t& x, uint16_t symbol) {
    const EncodeSymbol& e = encode[symbol];
    // Store the low word always; keep it only when the state overflows (no branch).
    uint32_t emit = x >= e.x_max;
    p[-1] = static_cast<uint16_t>(x);
    p -= emit;
    x >>= 16 * emit;
    uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(x) * e.reciprocal) >> 32) >> e.shift;
    x += e.bias + q * e.complement;
  };
  std::size_t i = count;
  if (i & 1) put(even, symbols[--i]);
  while (i > 0) {
    i -= 2;
    put(odd, symbols[i + 1]);
    put(even, symbols[i]);
  }
  for (uint32_t state : {odd, even}) {
    *--p = static_cast<uint16_t>(state);
    *--p = static_cast<uint16_t>(state >> 16);
  }
  std::size_t n = end - p;
  std::size_t at = out.size();
  out.resize(at + n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out[at + 2 * i] = static_cast<uint8_t>(p[i]);
    out[at + 2 * i + 1] = static_cast<uint8_t>(p[i] >> 8);
  }
}

namespace {

// RansEncodeColumns for N states: a row's columns go backwards in groups of N aligned on
// multiples of N, so that every state of a group is named at compile time (registers, not
// an array indexed at run time).
template <unsigned N>
uint16_t* EncodeColumns(const EncodeSymbol* encode, const uint16_t* symbols, std::size_t count, std::size_t width,
                        std::size_t skip, uint16_t* p) {
  std::array<uint32_t, N> x;
  x.fill(kRansLow);
  auto put = [&](uint32_t& state, uint16_t symbol) __attribute__((always_inline)) {
    const EncodeSymbol& e = encode[symbol];
    // Store the low word always; keep it only when the state overflows (no branch).
    uint32_t emit = state >= e.x_max;
    p[-1] = static_cast<uint16_t>(state);
    p -= emit;
    state = emit ? state >> 16 : state;
    uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(state) * e.reciprocal) >> 32) >> e.shift;
    state += e.bias + q * e.complement;
  };
  // Backwards by sample, row by row: the last row first, each from its last column.
  std::size_t i = count + skip;
  while (i > skip) {
    const std::size_t row_begin = (i - 1) / width * width;
    const std::size_t first = std::max(row_begin, skip);
    const std::size_t column_end = i - row_begin, column_first = first - row_begin;
    const uint16_t* row = symbols + row_begin - skip;  // row[column]: the symbol of that column
    for (std::size_t group = (column_end - 1) / N * N;; group -= N) {
      if (group >= column_first && group + N <= column_end) {
        [&]<unsigned... J>(std::integer_sequence<unsigned, J...>) __attribute__((always_inline)) {
          (put(x[N - 1 - J], row[group + N - 1 - J]), ...);
        }(std::make_integer_sequence<unsigned, N>{});
      } else {
        [&]<unsigned... J>(std::integer_sequence<unsigned, J...>) __attribute__((always_inline)) {
          ((group + N - 1 - J >= column_first && group + N - 1 - J < column_end
                ? put(x[N - 1 - J], row[group + N - 1 - J])
                : void()),
           ...);
        }(std::make_integer_sequence<unsigned, N>{});
      }
      if (group <= column_first) break;
    }
    i = first;
  }
  for (unsigned j = N; j-- > 0;) {
    *--p = static_cast<uint16_t>(x[j]);
    *--p = static_cast<uint16_t>(x[j] >> 16);
  }
  return p;
}

}  // namespace

void RansEncodeColumns(const std::array<SymbolTable, kContexts>& tables, const uint16_t* symbols, std::size_t count,
                       std::size_t width, std::size_t skip, unsigned states, std::vector<uint8_t>& out) {
  std::unique_ptr<EncodeSymbol[]> encode(new EncodeSymbol[kContexts << kContextShift]);
  for (unsigned c = 0; c < kContexts; ++c) {
    for (unsigned s = 0; s < kAlphabet; ++s) {
      if (tables[c].freq[s] != 0) {
        encode[c << kContextShift | s] = MakeEncodeSymbol(tables[c].start[s], tables[c].freq[s]);
      }
    }
  }
  // At most one word per symbol plus the final states, written from the back.
  const std::size_t capacity = count + 2 * kMaxRansStates;
  std::unique_ptr<uint16_t[]> buffer(new uint16_t[capacity]);
  uint16_t* const end = buffer.get() + capacity;
  uint16_t* p = end;
  switch (states) {
    case 2: p = EncodeColumns<2>(encode.get(), symbols, count, width, skip, p); break;
    case 4: p = EncodeColumns<4>(encode.get(), symbols, count, width, skip, p); break;
    case 8: p = EncodeColumns<8>(encode.get(), symbols, count, width, skip, p); break;
    default: p = EncodeColumns<16>(encode.get(), symbols, count, width, skip, p); break;
  }
  std::size_t n = end - p;
  std::size_t at = out.size();
  out.resize(at + n * 2);
  for (std::size_t k = 0; k < n; ++k) {
    out[at + 2 * k] = static_cast<uint8_t>(p[k]);
    out[at + 2 * k + 1] = static_cast<uint8_t>(p[k] >> 8);
  }
}

}  // namespace Brimlake::Nivra::codec
