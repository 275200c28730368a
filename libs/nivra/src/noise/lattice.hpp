// The quantization lattice of the noise model: a generalized Anscombe transform
// that makes Poisson-Gaussian noise unit-variance, scaled so that one unit is one
// quantization step. Pixel value x falls into bin k = floor(t(x) + u + 1/2) for
// its dither u; every non-empty bin has one representative value inside the bin,
// so quantizing a representative gives itself back (preparation is idempotent).
//
// Only + - * / and sqrt decide values, all in IEEE double: bit-identical everywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::noise {

class Lattice {
 public:
  // Null when the parameters cannot define a lattice (see Usable).
  static std::shared_ptr<const Lattice> For(const QuantizerParameters& parameters, float error_bound);
  // Why parameters are refused, or null when they are usable.
  static const char* Unusable(const QuantizerParameters& parameters, float error_bound);

  unsigned white() const { return white_; }
  int32_t max_bin() const { return max_bin_; }
  // What the vector kernels (lattice_kernels.hpp) compute with, in the same order as below.
  const double* table() const { return table_.data(); }
  double offset() const { return offset_; }
  double black_level() const { return black_level_; }
  double inverse_gain() const { return inverse_gain_; }
  double inverse_scale() const { return inverse_scale_; }

  // Bin of a value at most white().
  int32_t Bin(uint32_t x, double u) const {
    return static_cast<int32_t>(floor_nonneg(table_[x] + u + 0.5));
  }
  // Bin used as the prediction sample of any value, also those above white().
  int32_t SampleBin(uint32_t x, double u) const { return Bin(x > white_ ? white_ : x, u); }
  // The representative of bin k, or -1 when the bin holds no value.
  int32_t Representative(int32_t k, double u) const {
    if (k < 0 || k > max_bin_) return -1;
    // Centre of the bin in stabilised units, back through the inverse transform.
    double centre = static_cast<double>(k) - u;
    if (centre < 0) centre = 0;
    double root = centre * inverse_scale_;
    double x = (root * root - offset_) * inverse_gain_ + black_level_;
    double clamped = x < 0 ? 0 : (x > white_ ? white_ : x);
    auto r = static_cast<uint32_t>(clamped + 0.5);
    if (r > white_) r = white_;
    return Bin(r, u) == k ? static_cast<int32_t>(r) : NearestInBin(k, u, r);
  }

 private:
  Lattice(double gain, double black_level, double sigma, unsigned white, double step);
  // When rounding the centre left the bin: its first (or last) value.
  int32_t NearestInBin(int32_t k, double u, uint32_t r) const;
  static double floor_nonneg(double v) { return static_cast<double>(static_cast<int64_t>(v)); }

  double gain_, black_level_, offset_, scale_;
  double inverse_gain_, inverse_scale_;  // multiplications are cheaper than divisions
  unsigned white_;
  int32_t max_bin_;
  std::vector<double> table_;  // t(x) for x in [0, white]
};

}  // namespace Brimlake::Nivra::noise
