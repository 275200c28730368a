// The per-pixel lattice work of preparation, of the prepared encoder's first
// pass and of the prepared decoder: dither bits, bins and representatives, in a
// portable form and in vector forms (SSE2 and AVX2 on x86-64, NEON on aarch64)
// chosen at run time. Every form does exactly the arithmetic of Lattice::Bin and
// Lattice::Representative (the same IEEE double operations in the same order, no
// fused multiply-add), so every form gives the same integers; a lane whose
// rounded centre left its bin takes the scalar path.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "noise/lattice.hpp"

namespace Brimlake::Nivra::noise {

enum class KernelPath : int { kPortable = 0, kSse2 = 1, kAvx2 = 2, kNeon = 3 };
constexpr int kKernelPaths = 4;

const char* KernelPathName(KernelPath path);
// Compiled in and runnable on this processor.
bool KernelPathSupported(KernelPath path);

struct LatticeKernels {
  // bits[j] = DitherBits(seed, first + j).
  void (*dither_bits)(uint64_t seed, uint64_t first, std::size_t count, uint32_t* bits);
  // Every pixel up to the white level becomes the representative of its bin under
  // the dither of bits[j]; pixels above it stay.
  void (*prepare)(const Lattice& lattice, const uint32_t* bits, uint16_t* pixels, std::size_t count);
  // The prepared encoder's planes: centres[j] = 256·SampleBin − fine dither,
  // fine[j] = the fine dither, escape[j] = 1 when pixels[j] is not the
  // representative of its bin (above the white level or changed after preparation).
  void (*bins)(const Lattice& lattice, const uint32_t* bits, const uint16_t* pixels, std::size_t count,
               int32_t* centres, int8_t* fine, uint8_t* escape);
  // The prepared decoder's values: out[j] = the representative of bin
  // (centres[j] + fine dither) >> 8 where escaped[j] is 0; false when such a bin holds no value.
  bool (*representatives)(const Lattice& lattice, const uint32_t* bits, const int32_t* centres,
                          const uint8_t* escaped, std::size_t count, uint16_t* out);
};

// The kernels of one path (it must be supported).
const LatticeKernels& KernelsFor(KernelPath path);

// Tests and benchmarks set this to a path (as an int) to run it on every call; -1 chooses the widest supported.
inline std::atomic<int>& ForcedKernelPath() {
  static std::atomic<int> forced{-1};
  return forced;
}
KernelPath ActiveKernelPath();
inline const LatticeKernels& Kernels() { return KernelsFor(ActiveKernelPath()); }

// The wider operations, on blocks small enough for the dither bits to stay in the first-level cache.
// Pixel j has index first + j in the image.
void PrepareBlock(const Lattice& lattice, uint64_t seed, uint64_t first, uint16_t* pixels, std::size_t count);
// The bins kernel with the dither of pixel indices first, first + 1, ...
void BinPlanes(const Lattice& lattice, uint64_t seed, uint64_t first, const uint16_t* pixels, std::size_t count,
               int32_t* centres, int8_t* fine, uint8_t* escape);

}  // namespace Brimlake::Nivra::noise
