#include "codec/rans.hpp"

#include <algorithm>

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

bool ReadTables(ByteReader& in, std::array<DecodeTable, kContexts>& tables) {
  uint64_t context_mask = in.Varint(kContexts);
  if (!in.ok()) return false;
  for (unsigned c = 0; c < kContexts; ++c) {
    DecodeTable& table = tables[c];
    table.present = (context_mask >> c & 1) != 0;
    if (!table.present) continue;
    uint64_t symbol_mask = in.Varint(kAlphabet);
    if (!in.ok() || symbol_mask == 0) return false;
    unsigned last = 63 - static_cast<unsigned>(std::countl_zero(symbol_mask));
    uint32_t sum = 0;
    table.freq = {};
    for (unsigned s = 0; s < last; ++s) {
      if ((symbol_mask >> s & 1) == 0) continue;
      uint64_t f = in.Varint(kProbBits) + 1;
      if (!in.ok() || sum + f >= kProbScale) return false;  // the last symbol needs at least 1
      table.freq[s] = static_cast<uint16_t>(f);
      sum += static_cast<uint32_t>(f);
    }
    table.freq[last] = static_cast<uint16_t>(kProbScale - sum);
    uint32_t start = 0;
    for (unsigned s = 0; s < kAlphabet; ++s) {
      table.start[s] = static_cast<uint16_t>(start);
      std::fill_n(table.symbol.begin() + start, table.freq[s], static_cast<uint8_t>(s));
      start += table.freq[s];
    }
  }
  return true;
}

void RansEncoder::Finish(std::vector<uint8_t>& out) {
  words_.push_back(static_cast<uint16_t>(state_));
  words_.push_back(static_cast<uint16_t>(state_ >> 16));
  out.reserve(out.size() + words_.size() * 2);
  for (auto it = words_.rbegin(); it != words_.rend(); ++it) {
    out.push_back(static_cast<uint8_t>(*it));
    out.push_back(static_cast<uint8_t>(*it >> 8));
  }
}

}  // namespace Brimlake::Nivra::codec
