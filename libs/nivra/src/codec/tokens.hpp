// Residuals are coded as a token (entropy coded) plus raw extra bits: small
// values are their own token, larger ones give their magnitude class and the
// bit below the leading one, the rest goes raw.
#pragma once

#include <bit>
#include <cstdint>

namespace Brimlake::Nivra::codec {

constexpr unsigned kDirectTokens = 16;
constexpr unsigned kMaxValueBits = 26;  // values below 2^26
constexpr unsigned kEscapeToken = kDirectTokens + (kMaxValueBits - 4) * 2;  // 60
constexpr unsigned kAlphabet = kEscapeToken + 1;

struct Token {
  uint32_t token;
  uint32_t extra_bits;
  uint32_t extra;
};

inline Token Tokenize(uint32_t v) {
  if (v < kDirectTokens) return {v, 0, 0};
  unsigned e = 31 - static_cast<unsigned>(std::countl_zero(v));
  unsigned below = (v >> (e - 1)) & 1;
  return {kDirectTokens + (e - 4) * 2 + below, e - 1, v & ((1u << (e - 1)) - 1)};
}

inline unsigned ExtraBits(uint32_t token) {
  return token < kDirectTokens ? 0 : (token - kDirectTokens) / 2 + 3;
}

// Value of a token below kEscapeToken with its extra bits.
inline uint32_t Detokenize(uint32_t token, uint32_t extra) {
  if (token < kDirectTokens) return token;
  unsigned e = (token - kDirectTokens) / 2 + 4;
  return (1u << e) | (((token - kDirectTokens) & 1) << (e - 1)) | extra;
}

inline uint32_t ZigZag(int32_t r) { return (static_cast<uint32_t>(r) << 1) ^ static_cast<uint32_t>(r >> 31); }
inline int32_t UnZigZag(uint32_t z) { return static_cast<int32_t>(z >> 1) ^ -static_cast<int32_t>(z & 1); }

}  // namespace Brimlake::Nivra::codec
