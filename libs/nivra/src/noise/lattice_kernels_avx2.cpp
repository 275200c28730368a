// The lattice kernels four lanes at a time with AVX2 (32-bit halves for the
// dither's 64-bit products), for
// processors that report it at run time. Only AVX2 is asked for, never FMA.
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define NIVRA_LATTICE_TARGET __attribute__((target("avx2")))
#include "noise/lattice_kernel_body.hpp"

namespace Brimlake::Nivra::noise {
namespace {

#define A [[gnu::always_inline]] static inline NIVRA_LATTICE_TARGET

// Four doubles; four 32-bit integers.
struct Avx2 {
  using D = __m256d;
  using I = __m128i;
  static constexpr int kLanes = 4;

  A D Set(double v) { return _mm256_set1_pd(v); }
  A I SetI(int32_t v) { return _mm_set1_epi32(v); }
  A I LoadBits(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  A I LoadInt32(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  A I LoadPixels(const uint16_t* p) { return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); }
  A void StorePixels(uint16_t* p, I v) {
    const __m128i low_halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(v, low_halves));
  }
  A void StoreInt32(int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  A void StoreInt8(int8_t* p, I v) {
    const __m128i low_bytes = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int32_t four = _mm_cvtsi128_si32(_mm_shuffle_epi8(v, low_bytes));
    std::memcpy(p, &four, sizeof four);
  }
  A D ToDouble(I v) { return _mm256_cvtepi32_pd(v); }
  A I Trunc(D v) { return _mm256_cvttpd_epi32(v); }
  // Four loads rather than the gather instruction, which some processors run as slow microcode.
  A D Gather(const double* table, I index) {
    __m128d low = _mm_loadh_pd(_mm_load_sd(table + _mm_cvtsi128_si32(index)), table + _mm_extract_epi32(index, 1));
    __m128d high = _mm_loadh_pd(_mm_load_sd(table + _mm_extract_epi32(index, 2)), table + _mm_extract_epi32(index, 3));
    return _mm256_set_m128d(high, low);
  }
  A D Add(D a, D b) { return _mm256_add_pd(a, b); }
  A D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
  A D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
  A D Max(D a, D b) { return _mm256_max_pd(a, b); }
  A D Min(D a, D b) { return _mm256_min_pd(a, b); }
  A I Add(I a, I b) { return _mm_add_epi32(a, b); }
  A I Sub(I a, I b) { return _mm_sub_epi32(a, b); }
  A I Or(I a, I b) { return _mm_or_si128(a, b); }
  A I ShiftLeft8(I v) { return _mm_slli_epi32(v, 8); }
  A I ShiftRight8(I v) { return _mm_srai_epi32(v, 8); }
  A I ShiftRight16(I v) { return _mm_srli_epi32(v, 16); }
  A I Gt(I a, I b) { return _mm_cmpgt_epi32(a, b); }
  A I Equal(I a, I b) { return _mm_cmpeq_epi32(a, b); }
  A I Select(I mask, I a, I b) { return _mm_blendv_epi8(b, a, mask); }
  A I Not(I v) { return _mm_xor_si128(v, _mm_set1_epi32(-1)); }
  // One byte per lane, 1 where the mask is set.
  A void StoreFlags(uint8_t* p, I mask) {
    const __m128i low_bytes = _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int32_t four = _mm_cvtsi128_si32(_mm_shuffle_epi8(_mm_and_si128(mask, _mm_set1_epi32(1)), low_bytes));
    std::memcpy(p, &four, sizeof four);
  }
  // Bit l set where byte l is not zero.
  A unsigned LoadFlags(const uint8_t* p) {
    int32_t four;
    std::memcpy(&four, p, sizeof four);
    __m128i zero = _mm_cmpeq_epi8(_mm_cvtsi32_si128(four), _mm_setzero_si128());
    return ~static_cast<unsigned>(_mm_movemask_epi8(zero)) & 0xFu;
  }
  A unsigned Mask(I m) { return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(m))); }
};

// The multiplication modulo 2^64 of four lanes from 32-bit halves (AVX2 has no 64-bit product).
A __m256i Multiply64(__m256i z, __m256i c, __m256i c_high) {
  __m256i low = _mm256_mul_epu32(z, c);
  __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(z, 32), c), _mm256_mul_epu32(z, c_high));
  return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}
A __m128i Mix64Top24(__m256i z, __m256i c1, __m256i c1h, __m256i c2, __m256i c2h) {
  z = Multiply64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 30)), c1, c1h);
  z = Multiply64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 27)), c2, c2h);
  z = _mm256_srli_epi64(_mm256_xor_si256(z, _mm256_srli_epi64(z, 31)), 40);
  // The low 32 bits of each 64-bit lane, in order.
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(z, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

NIVRA_LATTICE_TARGET void DitherBitsAvx2(uint64_t seed, uint64_t first, std::size_t count, uint32_t* bits) {
  constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull, kMix1 = 0xBF58476D1CE4E5B9ull, kMix2 = 0x94D049BB133111EBull;
  const __m256i c1 = _mm256_set1_epi64x(static_cast<long long>(kMix1)), c1h = _mm256_srli_epi64(c1, 32);
  const __m256i c2 = _mm256_set1_epi64x(static_cast<long long>(kMix2)), c2h = _mm256_srli_epi64(c2, 32);
  const __m256i step = _mm256_set1_epi64x(static_cast<long long>(8 * kGolden));
  const uint64_t z0 = seed + (first + 1) * kGolden;
  // Two sets of four counters in flight: the products are long chains.
  __m256i a = _mm256_setr_epi64x(static_cast<long long>(z0), static_cast<long long>(z0 + kGolden),
                                 static_cast<long long>(z0 + 2 * kGolden), static_cast<long long>(z0 + 3 * kGolden));
  __m256i b = _mm256_add_epi64(a, _mm256_set1_epi64x(static_cast<long long>(4 * kGolden)));
  std::size_t j = 0;
  for (; j + 8 <= count; j += 8) {
    __m128i low = Mix64Top24(a, c1, c1h, c2, c2h), high = Mix64Top24(b, c1, c1h, c2, c2h);
    a = _mm256_add_epi64(a, step);
    b = _mm256_add_epi64(b, step);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits + j), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits + j + 4), high);
  }
  for (; j < count; ++j) bits[j] = DitherBits(seed, first + j);
}

#undef A

}  // namespace

extern const LatticeKernels kAvx2LatticeKernels = {DitherBitsAvx2, body::Prepare<Avx2>, body::Bins<Avx2>,
                                                   body::Representatives<Avx2>};

}  // namespace Brimlake::Nivra::noise
#endif
