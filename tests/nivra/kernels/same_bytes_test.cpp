// The fast kernels against the portable ones and against the encoder as it was
// before them: for seeded images of every kind, the coded bytes are the same on
// every path (vector or portable coding and lattice kernels, one thread or several) and hash to
// the value recorded from the earlier encoder; every path decodes them exactly.
// Linked with the library's objects, so the test can force the portable kernels.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdio>
#include <functional>
#include <random>

#include "codec/kernels.hpp"
#include "nivra/nivra.hpp"
#include "noise/lattice_kernels.hpp"
#include "parallel_for.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;
using Brimlake::Nivra::codec::ForcePortableKernels;

namespace {

struct Case {
  const char* name;
  uint32_t width, height;
  std::function<std::vector<uint16_t>(uint32_t, uint32_t)> image;
  // XXH3-64 of the version 2 bytes, from the encoder before the fast kernels; for
  // lossless planes under 4096 pixels, from when they began to try one predictor.
  uint64_t bytes_hash;
  // XXH3-64 of the version 3 bytes, from the first version 3 encoder.
  uint64_t v3_hash;
};

std::shared_ptr<Nivra::ExtendedAnscombeParameters> Model(const nivra_test::SensorModel& m) {
  return std::make_shared<Nivra::ExtendedAnscombeParameters>(m.gain, m.black_level, m.sigma, m.white_level);
}

// Prepared as the container does it: replace the noise, keep nothing, embed the header.
std::vector<uint16_t> Prepared(std::vector<uint16_t> pixels, const Nivra::EmbeddedHeader& header) {
  Nivra::replace_noise(pixels.data(), pixels.size(), *header.parameters(), header.error_bound(), header.seed());
  header.Embed(pixels);
  return pixels;
}

std::vector<uint16_t> Sensor(uint32_t w, uint32_t h, const std::function<double(uint32_t, uint32_t)>& scene) {
  return nivra_test::SensorImage(w, h, nivra_test::SensorModel{}, scene, 11);
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"lossless-cells-two-bands", 640, 840, [](uint32_t w, uint32_t h) { return Sensor(w, h, nivra_test::Cells); },
       0x8ac8cefe69460604ull, 0x36f5b6b06b69b647ull},
      {"lossless-gradient", 301, 97, [](uint32_t w, uint32_t h) { return Sensor(w, h, nivra_test::Gradient(w)); },
       0x8d5ea3363fedb6d0ull, 0x2e0710b8195baa60ull},
      {"lossless-bayer", 256, 128, [](uint32_t w, uint32_t h) { return Sensor(w, h, nivra_test::Bayer(w)); },
       0xc22925bab1db3dc3ull, 0x801ff5058abc2822ull},
      {"lossless-value-map", 200, 160,
       [](uint32_t w, uint32_t h) {
         auto pixels = Sensor(w, h, nivra_test::Spots);
         for (auto& p : pixels) p = static_cast<uint16_t>((p & 1023) << 6);
         return pixels;
       },
       0x955a877db561abf4ull, 0x9141d68679b90321ull},
      {"lossless-extremes", 67, 45,
       [](uint32_t w, uint32_t h) {  // the largest activities and residuals
         std::mt19937 random(3);
         std::vector<uint16_t> pixels(std::size_t{w} * h);
         for (auto& p : pixels) p = (random() & 1) ? 0 : 65535;
         return pixels;
       },
       0x7ced7b0d50de36a6ull, 0xaf375d1c4394df0dull},
      {"lossless-small-32x32", 32, 32, [](uint32_t w, uint32_t h) { return Sensor(w, h, nivra_test::Cells); },
       0x45740a6681a1b206ull, 0x8126985df89151feull},
      {"lossless-one-row", 1000, 1, [](uint32_t w, uint32_t h) { return Sensor(w, h, nivra_test::Flat); },
       0x583e94d58dbc4b03ull, 0x23c24aac756c9aafull},
      {"prepared-monochrome", 256, 200,
       [](uint32_t w, uint32_t h) {
         Nivra::MonochromeHeader header(99, 1.0f, Model({}));
         return Prepared(Sensor(w, h, nivra_test::Cells), header);
       },
       0xfd9687dcfc338081ull, 0x846e7d2b31021c5eull},
      {"prepared-colour-edited", 130, 96,
       [](uint32_t w, uint32_t h) {
         Nivra::ColorHeader header(7, 0.5f, Nivra::ColorFilterArray::kBayerRG, Model({}));
         auto pixels = Prepared(Sensor(w, h, nivra_test::Bayer(w)), header);
         for (std::size_t i = 500; i < pixels.size(); i += 997) pixels[i] ^= 1;  // escapes
         return pixels;
       },
       0x6ee44eb267b939b9ull, 0x8ec865b8a81c2696ull},
      {"prepared-small-32x32", 32, 32,
       [](uint32_t w, uint32_t h) {
         Nivra::MonochromeHeader header(5, 2.0f, Model({}));
         return Prepared(Sensor(w, h, nivra_test::Flat), header);
       },
       0xedb2a316cfb3ca28ull, 0x420f94855d67a68dull},
  };
  return cases;
}

std::vector<uint8_t> Encode(const std::vector<uint16_t>& pixels, uint32_t w, uint32_t h,
                            const Nivra::ParallelFor& parallel_for, unsigned version = Nivra::kStreamVersion) {
  std::vector<uint8_t> out(pixels.size() * 3 + 4096);
  auto length = static_cast<int32_t>(out.size());
  Nivra::EncodeOptions options;
  options.stream_version = version;
  EXPECT_EQ(Nivra::encode(pixels.data(), static_cast<int32_t>(w), static_cast<int32_t>(h), out.data(), &length,
                          parallel_for, options),
            BM_OK);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::vector<uint16_t> Decode(const std::vector<uint8_t>& bytes, std::size_t count) {
  std::vector<uint16_t> pixels(count);
  EXPECT_EQ(Nivra::decode(bytes.data(), static_cast<int32_t>(bytes.size()), pixels.data(),
                          static_cast<int32_t>(count), {}),
            BM_OK);
  return pixels;
}

class SameBytes : public testing::TestWithParam<std::size_t> {
 protected:
  void TearDown() override {
    ForcePortableKernels() = false;
    Nivra::noise::ForcedKernelPath() = -1;
  }
};

TEST_P(SameBytes, OnEveryPathAndAsBefore) {
  const Case& c = Cases()[GetParam()];
  const auto pixels = c.image(c.width, c.height);
  ForcePortableKernels() = false;
  const auto fast = Encode(pixels, c.width, c.height, {});
  EXPECT_EQ(Encode(pixels, c.width, c.height, nivra_test::Threads(2)), fast) << "threads";
  EXPECT_EQ(Encode(pixels, c.width, c.height, nivra_test::Reversed), fast) << "task order";
  EXPECT_EQ(Decode(fast, pixels.size()), pixels);
  for (int path = 0; path < Nivra::noise::kKernelPaths; ++path) {
    if (!Nivra::noise::KernelPathSupported(static_cast<Nivra::noise::KernelPath>(path))) continue;
    Nivra::noise::ForcedKernelPath() = path;
    const char* name = Nivra::noise::KernelPathName(static_cast<Nivra::noise::KernelPath>(path));
    EXPECT_EQ(Encode(pixels, c.width, c.height, {}), fast) << "lattice kernels " << name;
    EXPECT_EQ(Decode(fast, pixels.size()), pixels) << "lattice kernels " << name;
  }
  Nivra::noise::ForcedKernelPath() = static_cast<int>(Nivra::noise::KernelPath::kPortable);
  const auto v2 = Encode(pixels, c.width, c.height, {}, 2);
  EXPECT_EQ(Decode(v2, pixels.size()), pixels);
  ForcePortableKernels() = true;
  EXPECT_EQ(Encode(pixels, c.width, c.height, {}), fast) << "portable kernels";
  EXPECT_EQ(Decode(fast, pixels.size()), pixels) << "portable kernels";
  EXPECT_EQ(Encode(pixels, c.width, c.height, {}, 2), v2) << "portable kernels, version 2";
  EXPECT_EQ(Decode(v2, pixels.size()), pixels) << "portable kernels, version 2";
  const uint64_t hash = XXH3_64bits(fast.data(), fast.size());
  std::printf("%s: %zu bytes, hash 0x%016llx\n", c.name, fast.size(), static_cast<unsigned long long>(hash));
  EXPECT_EQ(hash, c.v3_hash) << "the coded bytes changed";
  EXPECT_EQ(XXH3_64bits(v2.data(), v2.size()), c.bytes_hash) << "the version 2 bytes changed";
}

INSTANTIATE_TEST_SUITE_P(Images, SameBytes, testing::Range<std::size_t>(0, Cases().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           std::string name = Cases()[info.param].name;
                           for (char& ch : name) ch = ch == '-' ? '_' : ch;
                           return name;
                         });

}  // namespace
