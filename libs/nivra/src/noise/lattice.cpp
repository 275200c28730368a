#include "noise/lattice.hpp"

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

namespace Brimlake::Nivra::noise {
namespace {

// Beyond this many bins the quantization is far finer than the integers and the
// indices would not fit the coder's residual range.
constexpr double kMaxBins = 1048576.0;

uint32_t Bits(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

const ExtendedAnscombeParameters* AsAnscombe(const QuantizerParameters& parameters) {
  return dynamic_cast<const ExtendedAnscombeParameters*>(&parameters);
}

unsigned ClampedWhite(unsigned white) { return white > 65535u ? 65535u : white; }

}  // namespace

const char* Lattice::Unusable(const QuantizerParameters& parameters, float error_bound) {
  const ExtendedAnscombeParameters* p = AsAnscombe(parameters);
  if (p == nullptr) return "only extended Anscombe parameters are supported";
  if (!std::isfinite(error_bound) || error_bound <= 0) return "error bound must be a positive number";
  if (!std::isfinite(p->gain()) || p->gain() <= 0) return "gain must be a positive number";
  if (!std::isfinite(p->sigma()) || p->sigma() < 0) return "sigma must be a non-negative number";
  if (!std::isfinite(p->black_level()) || std::fabs(p->black_level()) > 1e6f) return "black level out of range";
  if (p->white_level() < 1) return "white level must be positive";
  // Otherwise every value would fall into the lowest bin and be moved to one value.
  if (p->black_level() >= static_cast<float>(ClampedWhite(p->white_level()))) {
    return "black level must lie below the white level";
  }
  double g = p->gain(), s = p->sigma(), step = error_bound;
  double q = g * (65535.0 + std::fabs(p->black_level())) + 0.375 * g * g + s * s;
  if (2.0 / (g * step) * std::sqrt(q) > kMaxBins) return "error bound too small for these parameters";
  return nullptr;
}

Lattice::Lattice(double gain, double black_level, double sigma, unsigned white, double step)
    : gain_(gain),
      black_level_(black_level),
      offset_(0.375 * gain * gain + sigma * sigma),
      scale_(2.0 / (gain * step)),
      inverse_gain_(1.0 / gain),
      inverse_scale_(gain * step / 2.0),
      white_(white),
      table_(white + 1) {
  for (uint32_t x = 0; x <= white_; ++x) {
    double q = gain_ * (static_cast<double>(x) - black_level_) + offset_;
    table_[x] = q > 0 ? scale_ * std::sqrt(q) : 0.0;
  }
  max_bin_ = static_cast<int32_t>(floor_nonneg(table_[white_] + 1.0));
}

int32_t Lattice::NearestInBin(int32_t k, double u, uint32_t r) const {
  int32_t b = Bin(r, u);
  // Rounding left the bin: take its first (or last) value; bins are monotone in x.
  if (b < k) {
    uint32_t lo = r + 1, hi = white_ + 1;  // first value with Bin >= k in [lo, hi)
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (Bin(mid, u) >= k) hi = mid; else lo = mid + 1;
    }
    return lo <= white_ && Bin(lo, u) == k ? static_cast<int32_t>(lo) : -1;
  }
  int64_t lo = -1, hi = static_cast<int64_t>(r) - 1;  // last value with Bin <= k in (lo, hi]
  while (lo < hi) {
    int64_t mid = hi - (hi - lo) / 2;
    if (Bin(static_cast<uint32_t>(mid), u) <= k) lo = mid; else hi = mid - 1;
  }
  return lo >= 0 && Bin(static_cast<uint32_t>(lo), u) == k ? static_cast<int32_t>(lo) : -1;
}

std::shared_ptr<const Lattice> Lattice::For(const QuantizerParameters& parameters, float error_bound) {
  if (Unusable(parameters, error_bound) != nullptr) return nullptr;
  const ExtendedAnscombeParameters& p = *AsAnscombe(parameters);
  unsigned white = ClampedWhite(p.white_level());
  // A small cache keyed by the exact header values: building a table costs white+1 square roots.
  using Key = std::tuple<uint32_t, uint32_t, uint32_t, unsigned, uint32_t>;
  static std::mutex mutex;
  static std::map<Key, std::shared_ptr<const Lattice>> cache;
  Key key{Bits(p.gain()), Bits(p.black_level()), Bits(p.sigma()), white, Bits(error_bound)};
  std::lock_guard lock(mutex);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  if (cache.size() >= 16) cache.clear();
  std::shared_ptr<const Lattice> lattice(new Lattice(p.gain(), p.black_level(), p.sigma(), white, error_bound));
  cache.emplace(key, lattice);
  return lattice;
}

}  // namespace Brimlake::Nivra::noise
