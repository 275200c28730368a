// Synthetic sensor images with a known Poisson-Gaussian noise model, shared by
// the tests and the benchmark.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace nivra_test {

struct SensorModel {
  float gain = 2.0f;         // digital numbers per electron
  float black_level = 100.0f;
  float sigma = 3.0f;        // read noise in digital numbers
  unsigned white_level = 65535;
};

// Draws value = black + gain * Poisson(mean_electrons(x, y)) + Normal(0, sigma), clipped.
inline std::vector<uint16_t> SensorImage(uint32_t width, uint32_t height, const SensorModel& model,
                                         const std::function<double(uint32_t, uint32_t)>& mean_electrons,
                                         uint64_t seed = 7) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> read_noise(0.0, model.sigma);
  std::vector<uint16_t> pixels(std::size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      std::poisson_distribution<int64_t> shot(std::max(mean_electrons(x, y), 1e-9));
      double v = model.black_level + model.gain * static_cast<double>(shot(random)) + read_noise(random);
      pixels[std::size_t{y} * width + x] =
          static_cast<uint16_t>(std::clamp(std::round(v), 0.0, static_cast<double>(model.white_level)));
    }
  }
  return pixels;
}

inline double Flat(uint32_t, uint32_t) { return 1000.0; }
inline std::function<double(uint32_t, uint32_t)> Gradient(uint32_t width) {
  return [width](uint32_t x, uint32_t y) { return 50.0 + 4000.0 * x / width + y; };
}
// Sparse bright spots on a dark background.
inline double Spots(uint32_t x, uint32_t y) {
  uint32_t cx = x % 37, cy = y % 41;
  double d2 = (cx - 18.0) * (cx - 18.0) + (cy - 20.0) * (cy - 20.0);
  return 5.0 + 20000.0 * std::exp(-d2 / 6.0) * (((x / 37) * 7 + (y / 41) * 3) % 5 == 0);
}
// Rounded cell-like blobs with textured interiors.
inline double Cells(uint32_t x, uint32_t y) {
  double v = 20.0;
  double fx = x * 0.05, fy = y * 0.05;
  double s = std::sin(fx) * std::cos(fy * 1.3) + 0.5 * std::sin(fx * 2.7 + fy);
  if (s > 0.4) v += 800.0 * (s - 0.4) + 200.0 * (1.0 + std::sin(x * 0.9) * std::cos(y * 0.7));
  return v;
}
// A colour scene seen through an RGGB mosaic: the channels differ strongly.
inline std::function<double(uint32_t, uint32_t)> Bayer(uint32_t width) {
  return [width](uint32_t x, uint32_t y) {
    double scene = 200.0 + 3000.0 * (0.5 + 0.5 * std::sin(x * 6.0 / width)) * (0.6 + 0.4 * std::cos(y * 0.01));
    static constexpr double kChannel[2][2] = {{1.0, 0.45}, {0.45, 0.15}};
    return scene * kChannel[y & 1][x & 1];
  };
}

}  // namespace nivra_test
