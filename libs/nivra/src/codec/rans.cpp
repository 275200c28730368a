#include "codec/rans.hpp"

#include <algorithm>
#include <memory>
#include <bit>

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
      for (uint32_t offset = 0; offset < freq[s]; ++offset) table[start + offset] = DecodeTables::Entry(s, freq[s], offset);
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
  std::array<uint32_t, kMaxRansStates> x;
  x.fill(kRansLow);
  const uint32_t mask = states - 1;
  // Backwards by sample, row by row: the last row first, each from its last column.
  std::size_t i = count + skip;
  while (i > skip) {
    const std::size_t row_begin = (i - 1) / width * width;
    const std::size_t first = std::max(row_begin, skip);
    for (std::size_t sample = i; sample-- > first;) {
      uint32_t& state = x[(sample - row_begin) & mask];
      const EncodeSymbol& e = encode[symbols[sample - skip]];
      uint32_t emit = state >= e.x_max;
      p[-1] = static_cast<uint16_t>(state);
      p -= emit;
      state >>= 16 * emit;
      uint32_t q = static_cast<uint32_t>((static_cast<uint64_t>(state) * e.reciprocal) >> 32) >> e.shift;
      state += e.bias + q * e.complement;
    }
    i = first;
  }
  for (unsigned j = states; j-- > 0;) {
    *--p = static_cast<uint16_t>(x[j]);
    *--p = static_cast<uint16_t>(x[j] >> 16);
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
