// Residuals are coded as a token (entropy coded) plus raw extra bits: small
// values are their own token, larger ones give their magnitude class and the
// bit below the leading one, the rest goes raw.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace Brimlake::Nivra::codec {

constexpr unsigned kDirectTokens = 16;
constexpr unsigned kMaxValueBits = 26;  // values below 2^26
constexpr unsigned kEscapeToken = kDirectTokens + (kMaxValueBits - 4) * 2;  // 60
constexpr unsigned kAlphabet = kEscapeToken + 1;
// What a context the stream has no table for decodes to: no token has this
// number, nothing follows it, and it leaves the rANS state as it was. The
// decoder checks the tokens it got instead of every context before its use.
constexpr unsigned kAbsentToken = kAlphabet;

struct Token {
  uint32_t token;
  uint32_t extra_bits;
  uint32_t extra;
};

// Per token: the smallest value it stands for and how many raw bits follow.
// The escape token stands for 0 followed by a raw 16-bit pixel value; the
// absent token for 0 with nothing following.
struct TokenBase {
  std::array<uint32_t, kAlphabet + 1> base{};
  std::array<uint8_t, kAlphabet + 1> extra_bits{};
};

constexpr TokenBase MakeTokenBase() {
  TokenBase t;
  for (uint32_t token = 0; token < kAlphabet; ++token) {
    if (token < kDirectTokens) {
      t.base[token] = token;
    } else if (token < kEscapeToken) {
      uint32_t e = (token - kDirectTokens) / 2 + 4;
      t.base[token] = (1u << e) | (((token - kDirectTokens) & 1) << (e - 1));
      t.extra_bits[token] = static_cast<uint8_t>(e - 1);
    } else {
      t.extra_bits[token] = 16;
    }
  }
  return t;
}
inline constexpr TokenBase kTokenBase = MakeTokenBase();

constexpr uint32_t kSmallValues = 4096;  // tokens of values below this come from a table
constexpr std::array<uint8_t, kSmallValues> MakeSmallTokens() {
  std::array<uint8_t, kSmallValues> t{};
  for (uint32_t v = 0; v < kSmallValues; ++v) {
    if (v < kDirectTokens) {
      t[v] = static_cast<uint8_t>(v);
    } else {
      unsigned e = 31 - static_cast<unsigned>(std::countl_zero(v));
      t[v] = static_cast<uint8_t>(kDirectTokens + (e - 4) * 2 + ((v >> (e - 1)) & 1));
    }
  }
  return t;
}
inline constexpr std::array<uint8_t, kSmallValues> kSmallTokens = MakeSmallTokens();

[[gnu::always_inline]] inline Token Tokenize(uint32_t v) {
  uint32_t token;
  if (v < kSmallValues) {
    token = kSmallTokens[v];
  } else {
    unsigned e = 31 - static_cast<unsigned>(std::countl_zero(v));
    token = kDirectTokens + (e - 4) * 2 + ((v >> (e - 1)) & 1);
  }
  return {token, kTokenBase.extra_bits[token], v - kTokenBase.base[token]};
}

inline uint32_t ZigZag(int32_t r) { return (static_cast<uint32_t>(r) << 1) ^ static_cast<uint32_t>(r >> 31); }
inline int32_t UnZigZag(uint32_t z) { return static_cast<int32_t>(z >> 1) ^ -static_cast<int32_t>(z & 1); }

}  // namespace Brimlake::Nivra::codec
