// Prepared mode at the speed of a disk: preparation alone, prepare + encode and
// decode of a 2048² Poisson-Gaussian plane (gain 2, black level 100, σ 2, error
// bound 1) beside lossless encode and decode of the same plane, the gap between
// the coded size of flat fields and the entropy of the dithered quantizer, and
// whether every lattice kernel path gives the same integers. Speeds are MB of
// 16-bit input per second of this thread's CPU time (the machine is shared),
// best of several runs; each target is printed with met / NOT MET. Under
// callgrind (no hardware counters on shared virtual machines), --size 512 --once
// gives instructions per pixel: the inclusive cost of replace_noise, of the
// prepared encode and of the prepared band decoder over the pixel count.
//   prepared_bench [--size N] [--pairs M] [--once]
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "nivra/nivra.hpp"
#include "noise/dither.hpp"
#include "noise/lattice_kernels.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;
namespace noise = Brimlake::Nivra::noise;

namespace {

double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

bool once = false;  // one run per figure, no flat fields: for counting instructions under callgrind

// Best CPU time of this thread over at least three runs (until half a second has passed).
double Seconds(const std::function<void()>& run) {
  double best = INFINITY, total = 0;
  for (int i = 0; i < 30 && (i < 3 || total < 0.5) && (i < 1 || !once); ++i) {
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
  bool target = true;  // false: printed for reference
};
std::vector<Row> rows;

void Target(const std::string& what, double figure, const std::string& unit, bool met) {
  rows.push_back({what, figure, unit, met});
}

std::vector<uint8_t> Encode(const std::vector<uint16_t>& pixels, uint32_t w, uint32_t h, bool& ok) {
  std::vector<uint8_t> out(pixels.size() * 3 + 4096);
  auto length = static_cast<int32_t>(out.size());
  ok =
      nivra_encode(pixels.data(), static_cast<int32_t>(w), static_cast<int32_t>(h), out.data(), &length) == BM_OK && ok;
  out.resize(static_cast<std::size_t>(length));
  return out;
}

bool Decode(const std::vector<uint8_t>& coded, std::vector<uint16_t>& pixels) {
  return nivra_decode(coded.data(), static_cast<int32_t>(coded.size()), pixels.data(),
                      static_cast<int32_t>(pixels.size())) == BM_OK;
}

std::vector<noise::KernelPath> SupportedPaths() {
  std::vector<noise::KernelPath> paths;
  for (int p = 0; p < noise::kKernelPaths; ++p) {
    if (noise::KernelPathSupported(static_cast<noise::KernelPath>(p)))
      paths.push_back(static_cast<noise::KernelPath>(p));
  }
  return paths;
}

// Each kernel of each path alone on the plane (MB/s of 16-bit pixels), and
// whether each path gives the portable path's integers on the plane and on
// `pairs` random (value, dither) pairs. Returns whether all agreed.
bool KernelPaths(const noise::Lattice& lattice, const std::vector<uint16_t>& plane, std::size_t pairs, bool timed) {
  const std::size_t n = plane.size();
  std::vector<uint32_t> bits(n);
  std::vector<int32_t> centres(n);
  std::vector<int8_t> fine(n);
  std::vector<uint8_t> escape(n);
  std::vector<uint16_t> out(n);
  // Random pairs: any value, any 24 dither bits; for the decoder, any bin from below 0 to above the last.
  std::mt19937_64 random(5);
  std::vector<uint16_t> values(pairs);
  std::vector<uint32_t> random_bits(pairs);
  std::vector<int32_t> random_centres(pairs);
  std::vector<uint8_t> random_escapes(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    values[i] = static_cast<uint16_t>(random());
    random_bits[i] = static_cast<uint32_t>(random() >> 40);
    const int32_t k = static_cast<int32_t>(random() % (lattice.max_bin() + 5)) - 2;
    random_centres[i] = k * 256 - noise::DitherFine(random_bits[i]);
    random_escapes[i] = random() % 16 == 0;
  }
  struct Result {
    std::vector<uint16_t> prepared, random_prepared, decoded, random_decoded;
    std::vector<int32_t> centres;
    std::vector<uint8_t> escapes;
    bool decoded_ok = false, random_ok = false;
  };
  auto run = [&](const noise::LatticeKernels& k) {
    Result r;
    r.prepared = plane;
    k.dither_bits(99, 0, n, bits.data());
    k.prepare(lattice, bits.data(), r.prepared.data(), n);
    k.bins(lattice, bits.data(), plane.data(), n, centres.data(), fine.data(), escape.data());
    r.centres = centres;
    r.escapes = escape;
    r.decoded = plane;
    r.decoded_ok = k.representatives(lattice, bits.data(), centres.data(), escape.data(), n, r.decoded.data());
    r.random_prepared = values;
    k.prepare(lattice, random_bits.data(), r.random_prepared.data(), pairs);
    std::vector<int32_t> c(pairs);
    std::vector<int8_t> f(pairs);
    std::vector<uint8_t> e(pairs);
    k.bins(lattice, random_bits.data(), values.data(), pairs, c.data(), f.data(), e.data());
    r.centres.insert(r.centres.end(), c.begin(), c.end());
    r.escapes.insert(r.escapes.end(), e.begin(), e.end());
    r.random_decoded = values;
    r.random_ok = k.representatives(lattice, random_bits.data(), random_centres.data(), random_escapes.data(), pairs,
                                    r.random_decoded.data());
    return r;
  };
  const Result reference = run(noise::KernelsFor(noise::KernelPath::kPortable));
  const double raw = n * 2.0;
  bool same = true;
  if (timed) {
    std::printf("\n%-10s %12s %12s %12s %12s %12s  %s\n", "kernels", "dither MB/s", "prepare MB/s", "bins MB/s",
                "repr. MB/s", "prep.+dither", "same integers as portable");
  }
  for (noise::KernelPath path : SupportedPaths()) {
    const noise::LatticeKernels& k = noise::KernelsFor(path);
    const Result r = run(k);
    const bool agree = r.prepared == reference.prepared && r.random_prepared == reference.random_prepared &&
                       r.centres == reference.centres && r.escapes == reference.escapes &&
                       r.decoded == reference.decoded && r.random_decoded == reference.random_decoded &&
                       r.decoded_ok == reference.decoded_ok && r.random_ok == reference.random_ok;
    same = same && agree;
    if (!timed) {
      if (!agree)
        std::printf("%s: NOT the portable path's integers on a further lattice\n", noise::KernelPathName(path));
      continue;
    }
    k.dither_bits(99, 0, n, bits.data());
    const double dither = Seconds([&] { k.dither_bits(99, 0, n, bits.data()); });
    const double prepare = Seconds([&] {
      out = plane;
      k.prepare(lattice, bits.data(), out.data(), n);
    });
    // The encoder and decoder see prepared pixels: bins of the prepared plane, almost none escaped.
    const std::vector<uint16_t> prepared = out;
    const double bins =
        Seconds([&] { k.bins(lattice, bits.data(), prepared.data(), n, centres.data(), fine.data(), escape.data()); });
    const double representatives =
        Seconds([&] { k.representatives(lattice, bits.data(), centres.data(), escape.data(), n, out.data()); });
    std::printf("%-10s %12.1f %12.1f %12.1f %12.1f %12.1f  %s\n", noise::KernelPathName(path), raw / dither / 1e6,
                raw / prepare / 1e6, raw / bins / 1e6, raw / representatives / 1e6, raw / (dither + prepare) / 1e6,
                agree ? "yes" : "NO");
  }
  if (timed) {
    std::printf(
        "(integers checked on the plane and %zu random pairs, here and on 4 further lattices; active path: %s)\n",
        pairs, noise::KernelPathName(noise::ActiveKernelPath()));
  }
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t size = 2048;
  std::size_t pairs = std::size_t{1} << 22;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) size = static_cast<uint32_t>(std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) pairs = static_cast<std::size_t>(std::atoll(argv[++i]));
    if (std::strcmp(argv[i], "--once") == 0) once = true;
  }
  const uint32_t w = size, h = size;
  nivra_test::SensorModel model;
  model.sigma = 2.0f;
  const auto parameters = std::make_shared<Nivra::ExtendedAnscombeParameters>(model.gain, model.black_level,
                                                                              model.sigma, model.white_level);
  const auto plane = nivra_test::SensorImage(w, h, model, nivra_test::Flat, 11);
  const double raw = plane.size() * 2.0;
  constexpr uint64_t kSeed = 99;
  std::printf("Plane %ux%u, Poisson-Gaussian flat field (1000 electrons), gain %.0f, black level %.0f, sigma %.0f\n", w,
              h, model.gain, model.black_level, model.sigma);

  // Lossless, for reference.
  bool ok = true;
  std::vector<uint8_t> lossless;
  std::vector<uint16_t> decoded(plane.size());
  const double lossless_enc = Seconds([&] { lossless = Encode(plane, w, h, ok); });
  const double lossless_dec = Seconds([&] { ok = Decode(lossless, decoded) && ok; });
  ok = ok && decoded == plane;

  // Prepared at error bound 1: prepare, encode, decode; with the widest lattice kernels and, side by
  // side, with the portable ones (pixel by pixel, as before the vector kernels).
  struct PreparedRun {
    double prepare, encode, decode;
    std::size_t coded_size;
  };
  Nivra::MonochromeHeader header(kSeed, 1.0f, parameters);
  std::vector<uint16_t> prepared;
  auto prepared_run = [&](int path) {
    noise::ForcedKernelPath() = path;
    PreparedRun r{};
    r.prepare = Seconds([&] {
      prepared = plane;
      Nivra::replace_noise(prepared.data(), prepared.size(), *parameters, 1.0f, kSeed);
    });
    header.Embed(prepared);
    std::vector<uint8_t> coded;
    r.encode = Seconds([&] { coded = Encode(prepared, w, h, ok); });
    r.decode = Seconds([&] { ok = Decode(coded, decoded) && ok; });
    ok = ok && decoded == prepared;
    r.coded_size = coded.size();
    noise::ForcedKernelPath() = -1;
    return r;
  };
  const PreparedRun portable = once ? PreparedRun{} : prepared_run(static_cast<int>(noise::KernelPath::kPortable));
  const PreparedRun best = prepared_run(-1);
  const double prepare = best.prepare, encode = best.encode, decode = best.decode;

  std::printf("\n%-30s %9s %9s %9s %9s\n", "", "ratio", "bpp", "enc MB/s", "dec MB/s");
  std::printf("%-30s %9.3f %9.3f %9.1f %9.1f\n", "lossless", raw / lossless.size(),
              lossless.size() * 8.0 / plane.size(), raw / lossless_enc / 1e6, raw / lossless_dec / 1e6);
  for (const auto& [name, r] :
       {std::pair{"prepared, bound 1", best}, std::pair{"  portable lattice kernels", portable}}) {
    if (r.coded_size == 0) continue;
    std::printf("%-30s %9.3f %9.3f %9.1f %9.1f   (prepare + encode; prepare %.1f, encode %.1f MB/s)\n", name,
                raw / r.coded_size, r.coded_size * 8.0 / plane.size(), raw / (r.prepare + r.encode) / 1e6,
                raw / r.decode / 1e6, raw / r.prepare / 1e6, raw / r.encode / 1e6);
  }
  std::printf("prepared / lossless: encode (with prepare) %.2fx, decode %.2fx the speed\n",
              lossless_enc / (prepare + encode), lossless_dec / decode);
  if (!once) {
    std::printf("%s / portable lattice kernels: prepare %.2fx, prepare + encode %.2fx, decode %.2fx the speed\n",
                noise::KernelPathName(noise::ActiveKernelPath()), portable.prepare / prepare,
                (portable.prepare + portable.encode) / (prepare + encode), portable.decode / decode);
  }

  rows.push_back({"prepare alone", raw / prepare / 1e6, "MB/s", true, false});
  Target("prepare + encode >= 300 MB/s", raw / (prepare + encode) / 1e6, "MB/s", raw / (prepare + encode) / 1e6 >= 300);
  Target("decode >= 500 MB/s", raw / decode / 1e6, "MB/s", raw / decode / 1e6 >= 500);

  // Flat fields: coded bits per pixel against the entropy of the dithered quantizer.
  std::printf("\n%-22s %9s %9s %9s\n", "flat field", "bpp", "H(k+u)", "gap");
  for (float step : once ? std::vector<float>{} : std::vector<float>{0.5f, 1.0f, 2.0f}) {
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

  if (!once) {
    // Speeds on the plane's lattice; the integers also on lattices where rounded centres often leave their bins.
    bool same = KernelPaths(*noise::Lattice::For(*parameters, 1.0f), plane, pairs, true);
    for (const auto& [p, step] : {std::pair{Nivra::ExtendedAnscombeParameters(2.0f, 100.0f, 2.0f, 65535), 0.5f},
                                  std::pair{Nivra::ExtendedAnscombeParameters(2.0f, 100.0f, 2.0f, 65535), 2.0f},
                                  std::pair{Nivra::ExtendedAnscombeParameters(1.5f, 200.0f, 2.0f, 4000), 1.0f},
                                  std::pair{Nivra::ExtendedAnscombeParameters(0.05f, 1000.0f, 0.5f, 65535), 0.1f}}) {
      same = KernelPaths(*noise::Lattice::For(p, step), plane, pairs, false) && same;
    }
    Target("lattice bit-identical on every kernel path (5 lattices)", same ? 1 : 0, "", same);
  }

  std::printf("\n%-60s %10s %-9s %s\n", "target", "figure", "unit", "");
  for (const Row& r : rows) {
    std::printf("%-60s %10.3f %-9s %s\n", r.what.c_str(), r.figure, r.unit.c_str(),
                !r.target ? "(reference)"
                : r.met   ? "met"
                          : "NOT MET");
  }
  if (!ok) std::printf("MISMATCH: a plane did not decode to what was encoded\n");
  return ok ? 0 : 1;
}
