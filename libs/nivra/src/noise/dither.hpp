// Seeded subtractive dither: a counter-based generator, so any pixel's dither
// follows from the seed and its index alone (rows can be coded independently).
#pragma once

#include <cstdint>

namespace Brimlake::Nivra::noise {

inline uint64_t Mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in [-0.5, 0.5) with 24 bits; exact in double, so identical everywhere.
inline double Dither(uint64_t seed, uint64_t index) {
  uint64_t bits = Mix64(seed + (index + 1) * 0x9E3779B97F4A7C15ull) >> 40;
  return (static_cast<double>(bits) + 0.5) * (1.0 / 16777216.0) - 0.5;
}

}  // namespace Brimlake::Nivra::noise
