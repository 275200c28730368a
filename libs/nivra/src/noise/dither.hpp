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

// 24 uniform bits for the pixel.
inline uint32_t DitherBits(uint64_t seed, uint64_t index) {
  return static_cast<uint32_t>(Mix64(seed + (index + 1) * 0x9E3779B97F4A7C15ull) >> 40);
}

// The dither in [-0.5, 0.5); exact in double, so identical everywhere.
inline double DitherValue(uint32_t bits) { return (static_cast<double>(bits) + 0.5) * (1.0 / 16777216.0) - 0.5; }
inline double Dither(uint64_t seed, uint64_t index) { return DitherValue(DitherBits(seed, index)); }

// The dither in 1/256 steps, rounded down: what the predictor subtracts.
inline int32_t DitherFine(uint32_t bits) { return static_cast<int32_t>(bits >> 16) - 128; }

}  // namespace Brimlake::Nivra::noise
