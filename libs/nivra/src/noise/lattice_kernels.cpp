// The portable lattice kernels (Lattice::Bin and Representative pixel by pixel:
// the reference every vector path is held to) and the choice of path.
#include "noise/lattice_kernels.hpp"

#include <algorithm>

#include "noise/dither.hpp"

namespace Brimlake::Nivra::noise {

#if defined(__x86_64__) && defined(__SSE2__)
extern const LatticeKernels kSse2LatticeKernels;
#endif
#if defined(__x86_64__) && defined(__GNUC__)
extern const LatticeKernels kAvx2LatticeKernels;
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
extern const LatticeKernels kNeonLatticeKernels;
#endif

namespace {

void DitherBitsPortable(uint64_t seed, uint64_t first, std::size_t count, uint32_t* bits) {
  for (std::size_t j = 0; j < count; ++j) bits[j] = DitherBits(seed, first + j);
}

void PreparePortable(const Lattice& lattice, const uint32_t* bits, uint16_t* pixels, std::size_t count) {
  const unsigned white = lattice.white();
  for (std::size_t j = 0; j < count; ++j) {
    uint16_t x = pixels[j];
    if (x > white) continue;
    double u = DitherValue(bits[j]);
    pixels[j] = static_cast<uint16_t>(lattice.Representative(lattice.Bin(x, u), u));
  }
}

void BinsPortable(const Lattice& lattice, const uint32_t* bits, const uint16_t* pixels, std::size_t count,
                  int32_t* centres, int8_t* fine, uint8_t* escape) {
  const unsigned white = lattice.white();
  for (std::size_t j = 0; j < count; ++j) {
    uint16_t x = pixels[j];
    double u = DitherValue(bits[j]);
    int32_t f = DitherFine(bits[j]);
    int32_t k = lattice.SampleBin(x, u);
    centres[j] = k * 256 - f;
    fine[j] = static_cast<int8_t>(f);
    escape[j] = x > white || lattice.Representative(k, u) != x;
  }
}

bool RepresentativesPortable(const Lattice& lattice, const uint32_t* bits, const int32_t* centres,
                             const uint8_t* escaped, std::size_t count, uint16_t* out) {
  int32_t empty = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (escaped[j]) continue;
    int32_t value = lattice.Representative((centres[j] + DitherFine(bits[j])) >> 8, DitherValue(bits[j]));
    empty |= value < 0;
    out[j] = static_cast<uint16_t>(value);
  }
  return empty == 0;
}

const LatticeKernels kPortableLatticeKernels = {DitherBitsPortable, PreparePortable, BinsPortable,
                                                RepresentativesPortable};

KernelPath WidestSupported() {
  for (KernelPath path : {KernelPath::kAvx2, KernelPath::kNeon, KernelPath::kSse2}) {
    if (KernelPathSupported(path)) return path;
  }
  return KernelPath::kPortable;
}

}  // namespace

const char* KernelPathName(KernelPath path) {
  switch (path) {
    case KernelPath::kPortable: return "portable";
    case KernelPath::kSse2: return "sse2";
    case KernelPath::kAvx2: return "avx2";
    case KernelPath::kNeon: return "neon";
  }
  return "unknown";
}

bool KernelPathSupported(KernelPath path) {
  switch (path) {
    case KernelPath::kPortable: return true;
#if defined(__x86_64__) && defined(__SSE2__)
    case KernelPath::kSse2: return true;
#endif
#if defined(__x86_64__) && defined(__GNUC__)
    case KernelPath::kAvx2: {
      static const bool avx2 = __builtin_cpu_supports("avx2");
      return avx2;
    }
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
    case KernelPath::kNeon: return true;  // part of every aarch64 processor
#endif
    default: return false;
  }
}

const LatticeKernels& KernelsFor(KernelPath path) {
  switch (path) {
#if defined(__x86_64__) && defined(__SSE2__)
    case KernelPath::kSse2: return kSse2LatticeKernels;
#endif
#if defined(__x86_64__) && defined(__GNUC__)
    case KernelPath::kAvx2: return kAvx2LatticeKernels;
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
    case KernelPath::kNeon: return kNeonLatticeKernels;
#endif
    default: return kPortableLatticeKernels;
  }
}

KernelPath ActiveKernelPath() {
  static const KernelPath widest = WidestSupported();
  const int forced = ForcedKernelPath().load(std::memory_order_relaxed);
  if (forced >= 0 && forced < kKernelPaths && KernelPathSupported(static_cast<KernelPath>(forced))) {
    return static_cast<KernelPath>(forced);
  }
  return widest;
}

namespace {
constexpr std::size_t kChunk = 1024;
}

void PrepareBlock(const Lattice& lattice, uint64_t seed, uint64_t first, uint16_t* pixels, std::size_t count) {
  const LatticeKernels& kernels = Kernels();
  uint32_t bits[kChunk];
  for (std::size_t j = 0; j < count; j += kChunk) {
    const std::size_t n = std::min(kChunk, count - j);
    kernels.dither_bits(seed, first + j, n, bits);
    kernels.prepare(lattice, bits, pixels + j, n);
  }
}

void BinPlanes(const Lattice& lattice, uint64_t seed, uint64_t first, const uint16_t* pixels, std::size_t count,
               int32_t* centres, int8_t* fine, uint8_t* escape) {
  const LatticeKernels& kernels = Kernels();
  uint32_t bits[kChunk];
  for (std::size_t j = 0; j < count; j += kChunk) {
    const std::size_t n = std::min(kChunk, count - j);
    kernels.dither_bits(seed, first + j, n, bits);
    kernels.bins(lattice, bits, pixels + j, n, centres + j, fine + j, escape + j);
  }
}

}  // namespace Brimlake::Nivra::noise
