// Lossless contexts of a whole row at once (README › Bit stream › All versions ›
// Activity, Context, lossless). They come from the rows above only, so they are
// known before the row's first sample is coded and can be computed eight
// samples at a time; the coding loops then just read them. SSE2 belongs to every
// x86-64 processor; other machines take the portable loop, which the tests hold
// against the vector one (same contexts, same bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/contexts.hpp"
#include "codec/kernels.hpp"
#include "codec/prediction.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Brimlake::Nivra::codec {

namespace detail {

// Contexts of samples [begin, end) of a row with all four neighbours (NE inside the row).
inline void InteriorContextsPortable(const uint16_t* up, const uint16_t* up2, std::size_t d, std::size_t begin,
                                     std::size_t end, uint8_t* contexts) {
  for (std::size_t x = begin; x < end; ++x) {
    contexts[x] = static_cast<uint8_t>(LosslessContext(Activity(up[x], up[x - d], up[x + d], up2[x])));
  }
}

#if defined(__SSE2__)
// |a − b| of unsigned 16-bit lanes.
inline __m128i AbsDiff16(__m128i a, __m128i b) { return _mm_or_si128(_mm_subs_epu16(a, b), _mm_subs_epu16(b, a)); }

// Bit length of 32-bit lanes below 2^24 (exact in float): the float's exponent.
inline __m128i BitLength32(__m128i v) {
  __m128i exponent = _mm_srli_epi32(_mm_castps_si128(_mm_cvtepi32_ps(v)), 23);
  return _mm_sub_epi32(exponent, _mm_set1_epi32(126));  // 0 gives −126, clamped later
}

// Activities are summed with saturation at 65535: any activity of 2^14 or more
// has the largest context anyway.
inline void InteriorContextsSse2(const uint16_t* up, const uint16_t* up2, std::size_t d, std::size_t begin,
                                 std::size_t end, uint8_t* contexts) {
  // Contexts of the eight samples from `at` on, as 16-bit lanes.
  auto eight = [&](std::size_t at) {
    const __m128i zero = _mm_setzero_si128();
    auto load = [](const uint16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i n = load(up + at), nw = load(up + at - d), ne = load(up + at + d), nn = load(up2 + at);
    __m128i activity = _mm_adds_epu16(_mm_adds_epu16(AbsDiff16(n, nw), AbsDiff16(ne, n)), AbsDiff16(n, nn));
    __m128i lo = BitLength32(_mm_unpacklo_epi16(activity, zero));
    __m128i hi = BitLength32(_mm_unpackhi_epi16(activity, zero));
    __m128i bits = _mm_packs_epi32(lo, hi);
    bits = _mm_min_epi16(_mm_max_epi16(bits, zero), _mm_set1_epi16(kContexts - 2));
    return _mm_add_epi16(bits, _mm_set1_epi16(1));
  };
  std::size_t x = begin;
  for (; x + 16 <= end; x += 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(contexts + x), _mm_packus_epi16(eight(x), eight(x + 8)));
  }
  if (x + 8 <= end) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(contexts + x), _mm_packus_epi16(eight(x), _mm_setzero_si128()));
    x += 8;
  }
  InteriorContextsPortable(up, up2, d, x, end, contexts);
}
#endif

}  // namespace detail

// Contexts of row y of a plane (a band's rows, y counted from its first row),
// distance D; contexts[x] for x < width.
template <int D>
[[gnu::always_inline]] inline void LosslessRowContexts(const uint16_t* plane, std::size_t width, std::size_t y,
                                                       uint8_t* contexts) {
  constexpr std::size_t d = D;
  if (y < d) {  // the first rows are borders
    std::memset(contexts, 0, width);
    return;
  }
  const uint16_t* up = plane + (y - d) * width;
  const uint16_t* up2 = y >= 2 * d ? up - d * width : up;
  const std::size_t left_end = width < d ? width : d;
  std::memset(contexts, 0, left_end);
  const std::size_t right_begin = width >= 2 * d ? width - d : left_end;
#if defined(__SSE2__)
  if (!ForcePortableKernels().load(std::memory_order_relaxed)) {
    detail::InteriorContextsSse2(up, up2, d, left_end, right_begin, contexts);
  } else {
    detail::InteriorContextsPortable(up, up2, d, left_end, right_begin, contexts);
  }
#else
  detail::InteriorContextsPortable(up, up2, d, left_end, right_begin, contexts);
#endif
  for (std::size_t x = right_begin; x < width; ++x) {  // NE is N at the right edge
    contexts[x] = static_cast<uint8_t>(LosslessContext(Activity(up[x], up[x - d], up[x], up2[x])));
  }
}

}  // namespace Brimlake::Nivra::codec
