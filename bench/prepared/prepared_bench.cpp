// Prepared mode at the speed of a disk: preparation alone, prepare + encode and
// decode of a 2048² Poisson-Gaussian plane (gain 2, black level 100, σ 2, error
// bound 1) beside lossless encode and decode of the same plane, the gap between
// the coded size of flat fields and the entropy of the dithered quantizer, and
// whether every lattice kernel path gives the same integers. Speeds are MB of
// 16-bit input per second of this thread's CPU time (the machine is shared),
// best of several runs; each target is printed with met / NOT MET.
//   prepared_bench [--size N] [--pairs M]
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nivra/nivra.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;

namespace {

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// Best CPU time of this thread over at least three runs (until half a second has passed).
double Seconds(const std::function<void()>& run) {
  double best = INFINITY, total = 0;
  for (int i = 0; i < 30 && (i < 3 || total < 0.5); ++i) {
    double start = ThreadSeconds();
    run();
    double s = ThreadSeconds() - start;
    best = std::min(best, s);
    total += s;
  }
  return best;
}

// Entropy of round(Z/step + U) for standard normal Z and uniform dither U: what a
// dithered quantizer of unit-variance noise emits.
double DitheredNoiseEntropy(double step) {
  double h = 0;
  for (int k = -64; k <= 64; ++k) {
    double p = 0;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {  // midpoint rule over [k - 1/2, k + 1/2)
      double v = k - 0.5 + (i + 0.5) / n;
      p += 0.5 * (std::erf((v + 0.5) * step / std::sqrt(2.0)) - std::erf((v - 0.5) * step / std::sqrt(2.0))) / n;
    }
    if (p > 0) h -= p * std::log2(p);
  }
  return h;
}

struct Row {
  std::string what;
  double figure;
  std::string unit;
  bool met;
};
std::vector<Row> rows;

void Target(const std::string& what, double figure, const std::string& unit, bool met) {
  rows.push_back({what, figure, unit, met});
}

std::vector<uint8_t> Encode(const std::vector<uint16_t>& pixels, uint32_t w, uint32_t h, bool& ok) {
  std::vector<uint8_t> out(pixels.size() * 3 + 4096);
  auto length = static_cast<int32_t>(out.size());
  ok = nivra_encode(pixels.data(), static_cast<int32_t>(w), static_cast<int32_t>(h), out.data(), &length) == BM_OK &&
       ok;
  out.resize(static_cast<std::size_t>(length));
  return out;
}

bool Decode(const std::vector<uint8_t>& coded, std::vector<uint16_t>& pixels) {
  return nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), pixels.data(),
                      static_cast<int32_t>(pixels.size())) == BM_OK;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t size = 2048;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) size = static_cast<uint32_t>(std::atoi(argv[i + 1]));
  }
  const uint32_t w = size, h = size;
  nivra_test::SensorModel model;
  model.sigma = 2.0f;
  const auto parameters =
      std::make_shared<Nivra::ExtendedAnscombeParameters>(model.gain, model.black_level, model.sigma, model.white_level);
  const auto plane = nivra_test::SensorImage(w, h, model, nivra_test::Flat, 11);
  const double raw = plane.size() * 2.0;
  constexpr uint64_t kSeed = 99;
  std::printf("Plane %ux%u, Poisson-Gaussian flat field (1000 electrons), gain %.0f, black level %.0f, sigma %.0f\n",
              w, h, model.gain, model.black_level, model.sigma);

  // Lossless, for reference.
  bool ok = true;
  std::vector<uint8_t> lossless;
  std::vector<uint16_t> decoded(plane.size());
  const double lossless_enc = Seconds([&] { lossless = Encode(plane, w, h, ok); });
  const double lossless_dec = Seconds([&] { ok = Decode(lossless, decoded) && ok; });
  ok = ok && decoded == plane;

  // Prepared at error bound 1: prepare, encode, decode.
  Nivra::MonochromeHeader header(kSeed, 1.0f, parameters);
  std::vector<uint16_t> prepared;
  const double prepare = Seconds([&] {
    prepared = plane;
    Nivra::replace_noise(prepared.data(), prepared.size(), *parameters, 1.0f, kSeed);
  });
  header.Embed(prepared);
  std::vector<uint8_t> coded;
  const double encode = Seconds([&] { coded = Encode(prepared, w, h, ok); });
  const double decode = Seconds([&] { ok = Decode(coded, decoded) && ok; });
  ok = ok && decoded == prepared;

  std::printf("\n%-22s %9s %9s %9s %9s\n", "", "ratio", "bpp", "enc MB/s", "dec MB/s");
  std::printf("%-22s %9.3f %9.3f %9.1f %9.1f\n", "lossless", raw / lossless.size(), lossless.size() * 8.0 / plane.size(),
              raw / lossless_enc / 1e6, raw / lossless_dec / 1e6);
  std::printf("%-22s %9.3f %9.3f %9.1f %9.1f   (prepare alone %.1f MB/s)\n", "prepared, bound 1", raw / coded.size(),
              coded.size() * 8.0 / plane.size(), raw / (prepare + encode) / 1e6, raw / decode / 1e6,
              raw / prepare / 1e6);
  std::printf("prepared / lossless: encode (with prepare) %.2fx, decode %.2fx the speed\n",
              lossless_enc / (prepare + encode), lossless_dec / decode);

  Target("prepare alone (no target; for reference)", raw / prepare / 1e6, "MB/s", true);
  Target("prepare + encode >= 300 MB/s", raw / (prepare + encode) / 1e6, "MB/s", raw / (prepare + encode) / 1e6 >= 300);
  Target("decode >= 500 MB/s", raw / decode / 1e6, "MB/s", raw / decode / 1e6 >= 500);

  // Flat fields: coded bits per pixel against the entropy of the dithered quantizer.
  std::printf("\n%-22s %9s %9s %9s\n", "flat field", "bpp", "H(k+u)", "gap");
  for (float step : {0.5f, 1.0f, 2.0f}) {
    Nivra::MonochromeHeader flat_header(kSeed, step, parameters);
    auto flat = plane;
    Nivra::replace_noise(flat.data(), flat.size(), *parameters, step, kSeed);
    flat_header.Embed(flat);
    auto flat_coded = Encode(flat, w, h, ok);
    ok = Decode(flat_coded, decoded) && ok && decoded == flat;
    const double bpp = flat_coded.size() * 8.0 / flat.size(), entropy = DitheredNoiseEntropy(step);
    std::printf("%-22s %9.3f %9.3f %+9.3f\n", ("error bound " + std::to_string(step).substr(0, 3)).c_str(), bpp,
                entropy, bpp - entropy);
    char what[96];
    std::snprintf(what, sizeof what, "flat field k = %.1f within 0.05 bit of H(k+u) %.2f", step, entropy);
    Target(what, bpp - entropy, "bit/pixel", bpp - entropy <= 0.05);
  }

  std::printf("\n%-60s %10s %-9s %s\n", "target", "figure", "unit", "");
  for (const Row& r : rows) {
    std::printf("%-60s %10.3f %-9s %s\n", r.what.c_str(), r.figure, r.unit.c_str(), r.met ? "met" : "NOT MET");
  }
  if (!ok) std::printf("MISMATCH: a plane did not decode to what was encoded\n");
  return ok ? 0 : 1;
}
