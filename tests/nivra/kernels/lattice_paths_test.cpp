// Every lattice kernel path against the scalar definitions (Lattice::Bin,
// Representative, DitherBits) on millions of random (value, dither) pairs and on
// the extremes, for lattices from ordinary to the limits of what is usable: a
// prepared file must get the same integers on every machine.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "nivra/nivra.hpp"
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"

namespace Nivra = Brimlake::Nivra;
namespace noise = Brimlake::Nivra::noise;

namespace {

struct LatticeCase {
  const char* name;
  float gain, black_level, sigma;
  unsigned white_level;
  float error_bound;
};

void PrintTo(const LatticeCase& c, std::ostream* os) { *os << c.name; }

// From ordinary sensors to the limits: where the rounded centre often leaves its
// bin (values below the black level, a lattice finer than the integers), a
// negative black level, no read noise, very coarse and very fine steps.
const LatticeCase kLattices[] = {
    {"sensor-bound-1", 2.0f, 100.0f, 2.0f, 65535, 1.0f},
    {"sensor-bound-half", 2.0f, 100.0f, 2.0f, 65535, 0.5f},
    {"sensor-bound-2", 2.0f, 100.0f, 2.0f, 65535, 2.0f},
    {"below-black-rounding", 1.5f, 200.0f, 2.0f, 4000, 1.0f},
    {"twelve-bit", 0.82f, 64.0f, 1.9f, 4095, 1.0f},
    {"tiny-gain-fine", 0.05f, 1000.0f, 0.5f, 65535, 0.1f},
    {"huge-gain", 50.0f, 10.0f, 30.0f, 65535, 1.0f},
    {"no-read-noise", 1.0f, 0.0f, 0.0f, 65535, 1.0f},
    {"negative-black", 3.0f, -500.0f, 4.0f, 30000, 0.7f},
    {"coarse", 2.0f, 100.0f, 2.0f, 65535, 16.0f},
    {"near-most-bins", 4.0f, 0.0f, 0.0f, 65535, 0.0016f},
    {"white-one", 1.0f, 0.0f, 1.0f, 1, 1.0f},
};

std::vector<noise::KernelPath> VectorPaths() {
  std::vector<noise::KernelPath> paths;
  for (int p = 1; p < noise::kKernelPaths; ++p) {
    const auto path = static_cast<noise::KernelPath>(p);
    if (noise::KernelPathSupported(path)) paths.push_back(path);
  }
  return paths;
}

// Random pairs, then every extreme value with every extreme dither. Counts
// are odd so that every path also runs its tail.
struct Inputs {
  std::vector<uint16_t> values;
  std::vector<uint32_t> bits;
  std::vector<int32_t> centres;  // for the decoder: bins from below 0 to beyond the last
  std::vector<uint8_t> escaped;
};

Inputs MakeInputs(const noise::Lattice& lattice, const LatticeCase& c, std::size_t random_pairs, uint64_t seed) {
  Inputs in;
  std::mt19937_64 random(seed);
  auto add = [&](uint32_t x, uint32_t bits, int32_t k, bool escaped) {
    in.values.push_back(static_cast<uint16_t>(x));
    in.bits.push_back(bits);
    in.centres.push_back(k * 256 - noise::DitherFine(bits));
    in.escaped.push_back(escaped);
  };
  const int32_t max_bin = lattice.max_bin();
  for (std::size_t i = 0; i < random_pairs; ++i) {
    // Half the values near the black level, where the transform bends most.
    uint64_t r = random();
    uint32_t x = (r & 1) ? static_cast<uint32_t>(r >> 48)
                         : static_cast<uint32_t>(std::max(0.0f, c.black_level) + ((r >> 1) & 1023));
    int32_t k = static_cast<int32_t>((r >> 12) % static_cast<uint64_t>(max_bin + 5)) - 2;
    add(x & 0xFFFF, static_cast<uint32_t>(random() >> 40), k, (r >> 8) % 16 == 0);
  }
  const int64_t black = static_cast<int64_t>(c.black_level), white = lattice.white();
  const std::vector<int64_t> xs = {0, 1, 2, black - 1, black, black + 1, white - 1, white, white + 1, 65534, 65535};
  const std::vector<uint32_t> dithers = {0, 1, 0x7FFFFF, 0x800000, 0xFFFFFE, 0xFFFFFF};
  const std::vector<int32_t> bins = {-1000000, -1, 0, 1, 2, max_bin - 1, max_bin, max_bin + 1, 1 << 22};
  for (int64_t x : xs) {
    if (x < 0 || x > 65535) continue;
    for (uint32_t d : dithers) {
      for (int32_t k : bins) add(static_cast<uint32_t>(x), d, k, false);
    }
  }
  add(5, 12345, 1, true);  // odd count
  return in;
}

// The scalar definitions, pixel by pixel.
struct Expected {
  std::vector<uint16_t> prepared, decoded;
  std::vector<int32_t> centres;
  std::vector<int8_t> fine;
  std::vector<uint8_t> escape;
  bool all_bins_hold_values = true;
};

Expected Reference(const noise::Lattice& lattice, const Inputs& in) {
  Expected e;
  const std::size_t n = in.values.size();
  e.prepared = in.values;
  e.decoded = in.values;
  e.centres.resize(n);
  e.fine.resize(n);
  e.escape.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint16_t x = in.values[i];
    const double u = noise::DitherValue(in.bits[i]);
    const int32_t f = noise::DitherFine(in.bits[i]);
    if (x <= lattice.white()) e.prepared[i] = static_cast<uint16_t>(lattice.Representative(lattice.Bin(x, u), u));
    const int32_t k = lattice.SampleBin(x, u);
    e.centres[i] = k * 256 - f;
    e.fine[i] = static_cast<int8_t>(f);
    e.escape[i] = x > lattice.white() || lattice.Representative(k, u) != x;
    if (!in.escaped[i]) {
      const int32_t value = lattice.Representative((in.centres[i] + f) >> 8, u);
      e.all_bins_hold_values &= value >= 0;
      e.decoded[i] = static_cast<uint16_t>(value);
    }
  }
  return e;
}

// The first index where two vectors differ, for the message.
template <class T>
std::string FirstDifference(const std::vector<T>& a, const std::vector<T>& b, const Inputs& in) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) {
      return "at " + std::to_string(i) + ": value " + std::to_string(in.values[i]) + ", bits " +
             std::to_string(in.bits[i]) + ", centre " + std::to_string(in.centres[i]) + ": " + std::to_string(a[i]) +
             " instead of " + std::to_string(b[i]);
    }
  }
  return "equal";
}

class LatticePaths : public testing::TestWithParam<LatticeCase> {};

TEST_P(LatticePaths, GiveTheScalarIntegers) {
  const LatticeCase& c = GetParam();
  Nivra::ExtendedAnscombeParameters parameters(c.gain, c.black_level, c.sigma, c.white_level);
  ASSERT_EQ(noise::Lattice::Unusable(parameters, c.error_bound), nullptr);
  auto lattice = noise::Lattice::For(parameters, c.error_bound);
  const Inputs in = MakeInputs(*lattice, c, std::size_t{1} << 20, 17);
  const Expected expected = Reference(*lattice, in);
  const std::size_t n = in.values.size();
  std::vector<noise::KernelPath> paths = VectorPaths();
  paths.insert(paths.begin(), noise::KernelPath::kPortable);
  for (noise::KernelPath path : paths) {
    SCOPED_TRACE(noise::KernelPathName(path));
    const noise::LatticeKernels& k = noise::KernelsFor(path);
    std::vector<uint16_t> prepared = in.values, decoded = in.values;
    k.prepare(*lattice, in.bits.data(), prepared.data(), n);
    EXPECT_EQ(prepared, expected.prepared) << "prepare " << FirstDifference(prepared, expected.prepared, in);
    std::vector<int32_t> centres(n);
    std::vector<int8_t> fine(n);
    std::vector<uint8_t> escape(n);
    k.bins(*lattice, in.bits.data(), in.values.data(), n, centres.data(), fine.data(), escape.data());
    EXPECT_EQ(centres, expected.centres) << "bins " << FirstDifference(centres, expected.centres, in);
    EXPECT_EQ(fine, expected.fine);
    EXPECT_EQ(escape, expected.escape) << "escapes " << FirstDifference(escape, expected.escape, in);
    const bool held = k.representatives(*lattice, in.bits.data(), in.centres.data(), in.escaped.data(), n,
                                        decoded.data());
    EXPECT_EQ(decoded, expected.decoded) << "representatives " << FirstDifference(decoded, expected.decoded, in);
    EXPECT_EQ(held, expected.all_bins_hold_values);
  }
}

INSTANTIATE_TEST_SUITE_P(Lattices, LatticePaths, testing::ValuesIn(kLattices),
                         [](const testing::TestParamInfo<LatticeCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) ch = ch == '-' ? '_' : ch;
                           return name;
                         });

TEST(LatticePaths, DitherBitsOfEverySeedAndIndex) {
  // Ordinary and extreme seeds and first indices (the counter wraps modulo 2^64), every tail length.
  const uint64_t seeds[] = {0, 1, 99, 0x9E3779B97F4A7C15ull, ~0ull};
  const uint64_t firsts[] = {0, 1, 65536, (1ull << 32) - 3, ~0ull - 40};
  for (noise::KernelPath path : VectorPaths()) {
    SCOPED_TRACE(noise::KernelPathName(path));
    const noise::LatticeKernels& k = noise::KernelsFor(path);
    for (uint64_t seed : seeds) {
      for (uint64_t first : firsts) {
        for (std::size_t count : {0u, 1u, 3u, 7u, 8u, 9u, 37u, 1000u}) {
          std::vector<uint32_t> bits(count + 1, 0xDEADBEEF);
          k.dither_bits(seed, first, count, bits.data());
          for (std::size_t j = 0; j < count; ++j) ASSERT_EQ(bits[j], noise::DitherBits(seed, first + j)) << j;
          EXPECT_EQ(bits[count], 0xDEADBEEFu) << "wrote past the end";
        }
      }
    }
  }
}

TEST(LatticePaths, ForcedPathRunsInReplaceNoise) {
  // replace_noise under every path: the same pixels as pixel by pixel.
  auto parameters = std::make_shared<Nivra::ExtendedAnscombeParameters>(1.5f, 200.0f, 2.0f, 4000);
  auto lattice = noise::Lattice::For(*parameters, 1.0f);
  std::vector<uint16_t> image(100003);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint16_t>(i * 37 % 5000);
  std::vector<uint16_t> expected = image;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (image[i] > lattice->white()) continue;
    const double u = noise::Dither(7, i);
    expected[i] = static_cast<uint16_t>(lattice->Representative(lattice->Bin(image[i], u), u));
  }
  for (int p = 0; p < noise::kKernelPaths; ++p) {
    if (!noise::KernelPathSupported(static_cast<noise::KernelPath>(p))) continue;
    noise::ForcedKernelPath() = p;
    EXPECT_EQ(noise::ActiveKernelPath(), static_cast<noise::KernelPath>(p));
    std::vector<uint16_t> pixels = image;
    Nivra::replace_noise(pixels.data(), pixels.size(), *parameters, 1.0f, 7);
    EXPECT_EQ(pixels, expected) << noise::KernelPathName(static_cast<noise::KernelPath>(p));
  }
  noise::ForcedKernelPath() = -1;
}

}  // namespace
