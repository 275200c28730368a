// The vector lattice kernels, written once over a set of lane operations V
// (lattice_kernels_sse2.cpp, _avx2.cpp, _neon.cpp). The double arithmetic is
// Lattice::Bin and Lattice::Representative operation for operation; only the
// comparisons with zero and the white level become max/min, which give the
// same values for every finite input (they differ on signed zeros alone, and
// the next operation squares or adds 0.5 to those). Lanes whose rounded centre
// left its bin, or whose bin is out of range, take the scalar path.
//
// The including file defines NIVRA_LATTICE_TARGET (the target attribute of its
// instruction set) and includes lattice.hpp and dither.hpp first, so that their
// inline functions keep the portable target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "noise/dither.hpp"
#include "noise/lattice.hpp"

#ifndef NIVRA_LATTICE_TARGET
#error "define NIVRA_LATTICE_TARGET before including the kernel body"
#endif

namespace Brimlake::Nivra::noise::body {

template <class V>
struct Arithmetic {
  using D = typename V::D;
  using I = typename V::I;
  static constexpr int kLanes = V::kLanes;
  static constexpr unsigned kAllLanes = (1u << kLanes) - 1;

  const double* table;
  D half, zero, white, offset, inverse_gain, inverse_scale, black_level, dither_unit;
  I white_i, max_bin, minus_one;

  NIVRA_LATTICE_TARGET explicit Arithmetic(const Lattice& lattice)
      : table(lattice.table()),
        half(V::Set(0.5)),
        zero(V::Set(0.0)),
        white(V::Set(static_cast<double>(lattice.white()))),
        offset(V::Set(lattice.offset())),
        inverse_gain(V::Set(lattice.inverse_gain())),
        inverse_scale(V::Set(lattice.inverse_scale())),
        black_level(V::Set(lattice.black_level())),
        dither_unit(V::Set(1.0 / 16777216.0)),
        white_i(V::SetI(static_cast<int32_t>(lattice.white()))),
        max_bin(V::SetI(lattice.max_bin())),
        minus_one(V::SetI(-1)) {}

  // DitherValue: (bits + 0.5) / 2^24 − 0.5.
  [[gnu::always_inline]] NIVRA_LATTICE_TARGET D Dither(I bits) const {
    return V::Sub(V::Mul(V::Add(V::ToDouble(bits), half), dither_unit), half);
  }
  // Lattice::Bin of values at most the white level.
  [[gnu::always_inline]] NIVRA_LATTICE_TARGET I Bin(I x, D u) const {
    // The table holds t(x) as Lattice computed it; computing the square roots here ran at two thirds of the speed.
    return V::Trunc(V::Add(V::Add(V::Gather(table, x), u), half));
  }
  // Lattice::Representative up to the check: the rounded centre of bin k, and
  // in `scalar` the lanes that need the scalar path (centre outside the bin, k out of range).
  [[gnu::always_inline]] NIVRA_LATTICE_TARGET I Rounded(I k, D u, unsigned& scalar) const {
    D centre = V::Max(V::Sub(V::ToDouble(k), u), zero);
    D root = V::Mul(centre, inverse_scale);
    D x = V::Add(V::Mul(V::Sub(V::Mul(root, root), offset), inverse_gain), black_level);
    D clamped = V::Min(V::Max(x, zero), white);
    // At most white + 0.5 before truncation, so never above the white level.
    I r = V::Trunc(V::Add(clamped, half));
    I outside = V::Or(V::Gt(k, max_bin), V::Gt(minus_one, k));
    scalar = (V::Mask(outside) | (~V::Mask(V::Equal(Bin(r, u), k)) & kAllLanes));
    return r;
  }
};

// Each kernel computes groups of kLanes pixels, two groups per step so that the
// long chain of one (table, transform, table) overlaps the other's, and
// finishes a group in the scalar form only where a lane needs it.

template <class V>
NIVRA_LATTICE_TARGET void Prepare(const Lattice& lattice, const uint32_t* bits, uint16_t* pixels, std::size_t count) {
  const Arithmetic<V> a(lattice);
  constexpr int L = V::kLanes;
  const unsigned white = lattice.white();
  struct Group {
    typename V::I values;
    unsigned scalar;
  };
  auto compute = [&](std::size_t j) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    typename V::I x = V::LoadPixels(pixels + j);
    typename V::I above = V::Gt(x, a.white_i);
    typename V::D u = a.Dither(V::LoadBits(bits + j));
    typename V::I k = a.Bin(V::Select(above, a.white_i, x), u);
    Group g;
    g.values = V::Select(above, x, a.Rounded(k, u, g.scalar));
    g.scalar &= ~V::Mask(above);
    return g;
  };
  auto finish = [&](std::size_t j, const Group& g) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    uint16_t values[L];
    V::StorePixels(values, g.values);
    for (int l = 0; l < L; ++l) {
      if ((g.scalar >> l) & 1) {
        double ul = DitherValue(bits[j + l]);
        values[l] = static_cast<uint16_t>(lattice.Representative(lattice.Bin(pixels[j + l], ul), ul));
      }
    }
    std::memcpy(pixels + j, values, sizeof values);
  };
  std::size_t j = 0;
  for (; j + 2 * L <= count; j += 2 * L) {
    const Group g0 = compute(j), g1 = compute(j + L);
    if ((g0.scalar | g1.scalar) == 0) {
      V::StorePixels(pixels + j, g0.values);
      V::StorePixels(pixels + j + L, g1.values);
    } else {
      finish(j, g0);
      finish(j + L, g1);
    }
  }
  for (; j + L <= count; j += L) finish(j, compute(j));
  for (; j < count; ++j) {
    uint16_t x = pixels[j];
    if (x > white) continue;
    double u = DitherValue(bits[j]);
    pixels[j] = static_cast<uint16_t>(lattice.Representative(lattice.Bin(x, u), u));
  }
}

template <class V>
NIVRA_LATTICE_TARGET void Bins(const Lattice& lattice, const uint32_t* bits, const uint16_t* pixels, std::size_t count,
                               int32_t* centres, int8_t* fine, uint8_t* escape) {
  const Arithmetic<V> a(lattice);
  constexpr int L = V::kLanes;
  const unsigned white = lattice.white();
  const typename V::I bias = V::SetI(128);
  struct Group {
    typename V::I escaped;  // all ones where escaped
    unsigned scalar;
  };
  auto compute = [&](std::size_t j) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    typename V::I x = V::LoadPixels(pixels + j);
    typename V::I b = V::LoadBits(bits + j);
    typename V::I above = V::Gt(x, a.white_i);
    typename V::D u = a.Dither(b);
    typename V::I k = a.Bin(V::Select(above, a.white_i, x), u);
    typename V::I f = V::Sub(V::ShiftRight16(b), bias);
    V::StoreInt32(centres + j, V::Sub(V::ShiftLeft8(k), f));
    V::StoreInt8(fine + j, f);
    Group g;
    typename V::I r = a.Rounded(k, u, g.scalar);
    g.escaped = V::Or(above, V::Not(V::Equal(r, x)));
    g.scalar &= ~V::Mask(above);
    return g;
  };
  auto finish = [&](std::size_t j, const Group& g) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    V::StoreFlags(escape + j, g.escaped);
    for (unsigned scalar = g.scalar, l = 0; scalar != 0; ++l, scalar >>= 1) {
      if (scalar & 1) {
        double ul = DitherValue(bits[j + l]);
        escape[j + l] = lattice.Representative(lattice.Bin(pixels[j + l], ul), ul) != pixels[j + l];
      }
    }
  };
  std::size_t j = 0;
  for (; j + 2 * L <= count; j += 2 * L) {
    const Group g0 = compute(j), g1 = compute(j + L);
    finish(j, g0);
    finish(j + L, g1);
  }
  for (; j + L <= count; j += L) finish(j, compute(j));
  for (; j < count; ++j) {
    uint16_t x = pixels[j];
    double u = DitherValue(bits[j]);
    int32_t f = DitherFine(bits[j]);
    int32_t k = lattice.SampleBin(x, u);
    centres[j] = k * 256 - f;
    fine[j] = static_cast<int8_t>(f);
    escape[j] = x > white || lattice.Representative(k, u) != x;
  }
}

template <class V>
NIVRA_LATTICE_TARGET bool Representatives(const Lattice& lattice, const uint32_t* bits, const int32_t* centres,
                                          const uint8_t* escaped, std::size_t count, uint16_t* out) {
  const Arithmetic<V> a(lattice);
  constexpr int L = V::kLanes;
  const typename V::I bias = V::SetI(128);
  int32_t empty = 0;
  struct Group {
    typename V::I values;
    unsigned scalar, kept;
  };
  auto compute = [&](std::size_t j) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    typename V::I b = V::LoadBits(bits + j);
    typename V::I k = V::ShiftRight8(V::Add(V::LoadInt32(centres + j), V::Sub(V::ShiftRight16(b), bias)));
    Group g;
    g.values = a.Rounded(k, a.Dither(b), g.scalar);
    g.kept = V::LoadFlags(escaped + j);
    return g;
  };
  auto finish = [&](std::size_t j, const Group& g) NIVRA_LATTICE_TARGET __attribute__((always_inline)) {
    uint16_t values[L];
    V::StorePixels(values, g.values);
    for (int l = 0; l < L; ++l) {
      if ((g.kept >> l) & 1) continue;
      if ((g.scalar >> l) & 1) {
        int32_t value = lattice.Representative((centres[j + l] + DitherFine(bits[j + l])) >> 8,
                                               DitherValue(bits[j + l]));
        empty |= value < 0;
        values[l] = static_cast<uint16_t>(value);
      }
      out[j + l] = values[l];
    }
  };
  std::size_t j = 0;
  for (; j + 2 * L <= count; j += 2 * L) {
    const Group g0 = compute(j), g1 = compute(j + L);
    if ((g0.scalar | g0.kept | g1.scalar | g1.kept) == 0) {
      V::StorePixels(out + j, g0.values);
      V::StorePixels(out + j + L, g1.values);
    } else {
      finish(j, g0);
      finish(j + L, g1);
    }
  }
  for (; j + L <= count; j += L) finish(j, compute(j));
  for (; j < count; ++j) {
    if (escaped[j]) continue;
    int32_t value = lattice.Representative((centres[j] + DitherFine(bits[j])) >> 8, DitherValue(bits[j]));
    empty |= value < 0;
    out[j] = static_cast<uint16_t>(value);
  }
  return empty == 0;
}

}  // namespace Brimlake::Nivra::noise::body
