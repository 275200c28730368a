// Prediction of each sample from already coded neighbours of the same colour:
// distance 1 for monochrome planes, 2 for Bayer mosaics. The activity (size of
// the local gradients) lets smooth and busy areas keep their own statistics.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace Brimlake::Nivra::codec {

enum Predictor : int {
  kMed = 0,      // median edge detector: follows edges
  kAverage2 = 1, // mean of west and north: halves the noise of one neighbour
  kAverage4 = 2, // mean of four neighbours: best on noise around a slow signal
  kPlanar = 3,   // west plus half the north-east to north-west slope: exact on planes
  kAbove4 = 4,   // mean of four neighbours in the rows above: noise fields, and no wait for the west
};
constexpr int kPredictors = 5;

// Min and max by conditional moves: compilers may turn them into jumps, which noise
// makes unpredictable, and in the decoder they lie on the chain from pixel to pixel.
inline int32_t Max(int32_t a, int32_t b) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("cmpl %1, %0\n\tcmovl %1, %0" : "+r"(a) : "r"(b) : "cc");
  return a;
#else
  return std::max(a, b);
#endif
}
inline int32_t Min(int32_t a, int32_t b) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("cmpl %1, %0\n\tcmovg %1, %0" : "+r"(a) : "r"(b) : "cc");
  return a;
#else
  return std::min(a, b);
#endif
}

template <int P>
inline int32_t Predict(int32_t w, int32_t n, int32_t nw, int32_t ne, int32_t nn) {
  if constexpr (P == kMed) {
    // The median of w, n and w + n − nw: the planar guess clamped between the
    // two neighbours.
    int32_t hi = Max(w, n), lo = Min(w, n);
    return Min(Max(w + (n - nw), lo), hi);
  } else if constexpr (P == kAverage2) {
    return (w + n + 1) >> 1;
  } else if constexpr (P == kAverage4) {
    return (w + n + nw + ne + 2) >> 2;
  } else if constexpr (P == kPlanar) {
    return w + ((ne - nw) >> 1);
  } else {
    return (n + nw + ne + nn + 2) >> 2;
  }
}

// Activity passed for border samples, where not all neighbours exist.
constexpr uint32_t kBorder = 0xFFFFFFFFu;

// From the rows above only: the context of a sample must not wait for its west
// neighbour, or decoding would become one long chain of dependent steps.
inline uint32_t Activity(int32_t n, int32_t nw, int32_t ne, int32_t nn) {
  return static_cast<uint32_t>(std::abs(n - nw)) + static_cast<uint32_t>(std::abs(ne - n)) +
         static_cast<uint32_t>(std::abs(n - nn));
}

inline unsigned BitLength(uint32_t v) { return 32 - static_cast<unsigned>(std::countl_zero(v)); }

// Calls visit(index, prediction, activity) for rows [y_begin, y_end) in raster
// order; visit returns the sample's value. Neighbours are read just before each
// call, so a decoder may fill the plane from within visit; the west neighbours
// come from the returned values, which spares reloading what was just stored.
// Always inlined: visit's state (coder states, bit buffers) must stay in
// registers, which it cannot once its address is passed to a call.
template <int D, int P, class T, class Visit>
[[gnu::always_inline]] inline void PredictRows(const T* plane, std::size_t width, std::size_t y_begin,
                                               std::size_t y_end, Visit&& visit) {
  for (std::size_t y = y_begin; y < y_end; ++y) {
    const T* row = plane + y * width;  // read only in the first rows
    const std::size_t base = y * width;
    if (y < static_cast<std::size_t>(D)) {
      for (std::size_t x = 0; x < width; ++x) {
        int32_t pred = x >= static_cast<std::size_t>(D) ? int32_t(row[x - D])
                       : x > 0                          ? int32_t(row[x - 1])
                       : y > 0                          ? int32_t(plane[(y - 1) * width + x])
                                                        : 0;
        visit(base + x, pred, kBorder);
      }
      continue;
    }
    const T* up = row - D * width;
    // Two same-colour rows up, or the row above again at the top.
    const T* up2 = y >= 2 * static_cast<std::size_t>(D) ? up - D * width : up;
    const std::size_t left_end = width < static_cast<std::size_t>(D) ? width : D;
    int32_t west1 = 0, west2 = 0;  // values one and two samples back
    auto next = [&](int32_t value) {
      west2 = west1;
      west1 = value;
    };
    for (std::size_t x = 0; x < left_end; ++x) next(visit(base + x, int32_t(up[x]), kBorder));
    const std::size_t right_begin = width >= 2 * static_cast<std::size_t>(D) ? width - D : left_end;
    for (std::size_t x = left_end; x < right_begin; ++x) {
      int32_t w = D == 1 ? west1 : west2, n = up[x], nw = up[x - D], ne = up[x + D], nn = up2[x];
      next(visit(base + x, Predict<P>(w, n, nw, ne, nn), Activity(n, nw, ne, nn)));
    }
    for (std::size_t x = right_begin; x < width; ++x) {
      int32_t w = D == 1 ? west1 : west2, n = up[x], nw = up[x - D], nn = up2[x];
      next(visit(base + x, Predict<P>(w, n, nw, n, nn), Activity(n, nw, n, nn)));
    }
  }
}

// Runs f(integral_constant<D>, integral_constant<P>) for the runtime layout and predictor.
template <class F>
[[gnu::always_inline]] inline void WithLayout(int distance, int predictor, F&& f) {
  auto with_p = [&](auto d) __attribute__((always_inline)) {
    switch (predictor) {
      case kMed: f(d, std::integral_constant<int, kMed>{}); break;
      case kAverage2: f(d, std::integral_constant<int, kAverage2>{}); break;
      case kAverage4: f(d, std::integral_constant<int, kAverage4>{}); break;
      case kPlanar: f(d, std::integral_constant<int, kPlanar>{}); break;
      default: f(d, std::integral_constant<int, kAbove4>{}); break;
    }
  };
  if (distance == 2) with_p(std::integral_constant<int, 2>{}); else with_p(std::integral_constant<int, 1>{});
}

}  // namespace Brimlake::Nivra::codec
