// The lattice kernels two lanes at a time with SSE2, which every x86-64 processor has.
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>

#define NIVRA_LATTICE_TARGET
#include "noise/lattice_kernel_body.hpp"

namespace Brimlake::Nivra::noise {
namespace {

// Two doubles; two 32-bit integers in the low half of a register.
struct Sse2 {
  using D = __m128d;
  using I = __m128i;
  static constexpr int kLanes = 2;

  static D Set(double v) { return _mm_set1_pd(v); }
  static I SetI(int32_t v) { return _mm_set1_epi32(v); }
  static I LoadBits(const uint32_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
  static I LoadInt32(const int32_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
  static I LoadPixels(const uint16_t* p) {
    int32_t two;
    std::memcpy(&two, p, sizeof two);
    return _mm_unpacklo_epi16(_mm_cvtsi32_si128(two), _mm_setzero_si128());
  }
  static void StorePixels(uint16_t* p, I v) {
    int32_t two = _mm_cvtsi128_si32(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 3, 2, 0)));
    std::memcpy(p, &two, sizeof two);
  }
  static void StoreInt32(int32_t* p, I v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
  static void StoreInt8(int8_t* p, I v) {
    p[0] = static_cast<int8_t>(_mm_cvtsi128_si32(v));
    p[1] = static_cast<int8_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 4)));
  }
  static D ToDouble(I v) { return _mm_cvtepi32_pd(v); }
  static I Trunc(D v) { return _mm_cvttpd_epi32(v); }
  static D Gather(const double* table, I index) {
    return _mm_loadh_pd(_mm_load_sd(table + _mm_cvtsi128_si32(index)),
                        table + _mm_cvtsi128_si32(_mm_srli_si128(index, 4)));
  }
  static D Add(D a, D b) { return _mm_add_pd(a, b); }
  static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
  static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
  static D Max(D a, D b) { return _mm_max_pd(a, b); }
  static D Min(D a, D b) { return _mm_min_pd(a, b); }
  static I Add(I a, I b) { return _mm_add_epi32(a, b); }
  static I Sub(I a, I b) { return _mm_sub_epi32(a, b); }
  static I Or(I a, I b) { return _mm_or_si128(a, b); }
  static I ShiftLeft8(I v) { return _mm_slli_epi32(v, 8); }
  static I ShiftRight8(I v) { return _mm_srai_epi32(v, 8); }
  static I ShiftRight16(I v) { return _mm_srli_epi32(v, 16); }
  static I Gt(I a, I b) { return _mm_cmpgt_epi32(a, b); }
  static I Equal(I a, I b) { return _mm_cmpeq_epi32(a, b); }
  static I Select(I mask, I a, I b) { return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b)); }
  static unsigned Mask(I m) { return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(m))) & 3u; }
  static I Not(I v) { return _mm_xor_si128(v, _mm_set1_epi32(-1)); }
  static void StoreFlags(uint8_t* p, I mask) {
    unsigned m = Mask(mask);
    p[0] = m & 1;
    p[1] = m >> 1;
  }
  static unsigned LoadFlags(const uint8_t* p) { return unsigned{p[0] != 0} | unsigned{p[1] != 0} << 1; }
};

// Mix64 on two 64-bit lanes; the multiplication modulo 2^64 from 32-bit halves.
inline __m128i Multiply64(__m128i z, __m128i c, __m128i c_high) {
  __m128i low = _mm_mul_epu32(z, c);
  __m128i cross = _mm_add_epi64(_mm_mul_epu32(_mm_srli_epi64(z, 32), c), _mm_mul_epu32(z, c_high));
  return _mm_add_epi64(low, _mm_slli_epi64(cross, 32));
}

void DitherBitsSse2(uint64_t seed, uint64_t first, std::size_t count, uint32_t* bits) {
  constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull, kMix1 = 0xBF58476D1CE4E5B9ull, kMix2 = 0x94D049BB133111EBull;
  const __m128i c1 = _mm_set1_epi64x(static_cast<long long>(kMix1)), c1h = _mm_srli_epi64(c1, 32);
  const __m128i c2 = _mm_set1_epi64x(static_cast<long long>(kMix2)), c2h = _mm_srli_epi64(c2, 32);
  const __m128i step = _mm_set1_epi64x(static_cast<long long>(2 * kGolden));
  const uint64_t z0 = seed + (first + 1) * kGolden;
  __m128i counter = _mm_set_epi64x(static_cast<long long>(z0 + kGolden), static_cast<long long>(z0));
  std::size_t j = 0;
  for (; j + 2 <= count; j += 2) {
    __m128i z = counter;
    counter = _mm_add_epi64(counter, step);
    z = Multiply64(_mm_xor_si128(z, _mm_srli_epi64(z, 30)), c1, c1h);
    z = Multiply64(_mm_xor_si128(z, _mm_srli_epi64(z, 27)), c2, c2h);
    z = _mm_srli_epi64(_mm_xor_si128(z, _mm_srli_epi64(z, 31)), 40);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bits + j), _mm_shuffle_epi32(z, _MM_SHUFFLE(3, 3, 2, 0)));
  }
  for (; j < count; ++j) bits[j] = DitherBits(seed, first + j);
}

}  // namespace

extern const LatticeKernels kSse2LatticeKernels = {DitherBitsSse2, body::Prepare<Sse2>, body::Bins<Sse2>,
                                                   body::Representatives<Sse2>};

}  // namespace Brimlake::Nivra::noise
#endif
