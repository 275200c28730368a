// The embedded header and the calibrated noise replacement.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "nivra/nivra.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;

namespace {

std::shared_ptr<Nivra::ExtendedAnscombeParameters> Model(float gain = 2.0f, float black = 100.0f, float sigma = 3.0f,
                                                         unsigned white = 65535) {
  return std::make_shared<Nivra::ExtendedAnscombeParameters>(gain, black, sigma, white);
}

// The stabilising transform in noise-sigma units, for checking errors.
double Stabilised(double x, const Nivra::ExtendedAnscombeParameters& p) {
  double q = p.gain() * (x - p.black_level()) + 0.375 * p.gain() * p.gain() + p.sigma() * p.sigma();
  return q > 0 ? 2.0 / p.gain() * std::sqrt(q) : 0.0;
}

}  // namespace

TEST(EmbeddedHeader, EmbedThenReadGivesTheSameValues) {
  std::vector<uint16_t> pixels(100, 1234);
  Nivra::ColorHeader header(0xDEADBEEFCAFEF00Dull, 0.5f, Nivra::ColorFilterArray::kBayerGR, Model(1.25f, 64, 2.5f, 16383));
  ASSERT_LE(header.PixelCount(), 32u);
  header.Embed(pixels);
  EXPECT_EQ(pixels[header.PixelCount()], 1234);  // nothing written past the header
  auto read = Nivra::EmbeddedHeader::Read(pixels);
  ASSERT_TRUE(read);
  auto* color = dynamic_cast<Nivra::ColorHeader*>(read.get());
  ASSERT_TRUE(color);
  EXPECT_EQ(color->cfa(), Nivra::ColorFilterArray::kBayerGR);
  EXPECT_EQ(read->seed(), 0xDEADBEEFCAFEF00Dull);
  EXPECT_EQ(read->error_bound(), 0.5f);
  EXPECT_EQ(*std::dynamic_pointer_cast<Nivra::ExtendedAnscombeParameters>(read->parameters()),
            Nivra::ExtendedAnscombeParameters(1.25f, 64, 2.5f, 16383));

  Nivra::MonochromeHeader mono(3, 1.0f, Model());
  mono.Embed(pixels);
  read = Nivra::EmbeddedHeader::Read(pixels);
  ASSERT_TRUE(read);
  EXPECT_TRUE(dynamic_cast<Nivra::MonochromeHeader*>(read.get()));
}

TEST(EmbeddedHeader, NotFoundInOrdinaryOrDamagedData) {
  std::mt19937 random(1);
  std::vector<uint16_t> pixels(64);
  for (int trial = 0; trial < 1000; ++trial) {
    for (auto& p : pixels) p = static_cast<uint16_t>(random());
    EXPECT_FALSE(Nivra::EmbeddedHeader::Read(pixels));
  }
  EXPECT_FALSE(Nivra::EmbeddedHeader::Read(std::vector<uint16_t>(64, 0)));
  EXPECT_FALSE(Nivra::EmbeddedHeader::Read(std::vector<uint16_t>(64, 65535)));

  Nivra::MonochromeHeader header(99, 1.0f, Model());
  header.Embed(pixels);
  for (std::size_t i = 0; i < header.PixelCount(); ++i) {
    auto damaged = pixels;
    damaged[i] ^= 0x0100;
    EXPECT_FALSE(Nivra::EmbeddedHeader::Read(damaged)) << "word " << i;
  }
  EXPECT_FALSE(Nivra::EmbeddedHeader::Read(std::span(pixels).first(header.PixelCount() - 1)));
}

TEST(EmbeddedHeader, RefusesTooFewPixelsAndUnusableParameters) {
  std::vector<uint16_t> small(10);
  Nivra::MonochromeHeader header(1, 1.0f, Model());
  try {
    header.Embed(small);
    FAIL();
  } catch (const Nivra::NivraError& e) {
    EXPECT_EQ(e.status(), BM_TOO_FEW_PIXELS);
  }
  std::vector<uint16_t> pixels(64);
  for (auto bad : {Model(0.0f), Model(-1.0f), Model(2.0f, 100.0f, -1.0f), Model(NAN)}) {
    try {
      Nivra::MonochromeHeader(1, 1.0f, bad).Embed(pixels);
      FAIL();
    } catch (const Nivra::NivraError& e) {
      EXPECT_EQ(e.status(), BM_PARAMETERS_NOT_USABLE);
    }
  }
}

TEST(ReplaceNoise, IdempotentBoundedUnbiasedAndDeterministic) {
  for (float step : {0.5f, 1.0f, 2.0f}) {
    nivra_test::SensorModel model;
    auto p = Model(model.gain, model.black_level, model.sigma, model.white_level);
    auto original = nivra_test::SensorImage(256, 256, model, nivra_test::Gradient(256));
    auto prepared = original;
    Nivra::replace_noise(prepared.data(), prepared.size(), *p, step, 42);
    auto twice = prepared;
    Nivra::replace_noise(twice.data(), twice.size(), *p, step, 42);
    EXPECT_EQ(twice, prepared) << "step " << step;

    double sum = 0, worst = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
      double error = Stabilised(prepared[i], *p) - Stabilised(original[i], *p);
      // Half a step plus the integer rounding (half a value times the local slope).
      double slope = 1.0 / std::sqrt(std::max(1e-9, double(p->gain()) * (original[i] - p->black_level()) + p->sigma() * p->sigma()));
      EXPECT_LE(std::fabs(error), step / 2 + 0.5 * slope * 1.01 + 1e-9) << i;
      sum += error;
      worst = std::max(worst, std::fabs(error));
    }
    EXPECT_LT(std::fabs(sum / original.size()), 0.02) << "step " << step;
  }
}

TEST(ReplaceNoise, KnownOutputAndSaturationKept) {
  auto p = Model(1.5f, 200.0f, 2.0f, 4000);
  std::vector<uint16_t> pixels(4096);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(i * 37 % 5000);
  auto before = pixels;
  Nivra::replace_noise(pixels.data(), pixels.size(), *p, 1.0f, 12345);
  uint64_t hash = 1469598103934665603ull;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (before[i] > 4000) {
      EXPECT_EQ(pixels[i], before[i]);
    }
    EXPECT_LE(pixels[i] <= 4000, before[i] <= 4000);
    hash = (hash ^ pixels[i]) * 1099511628211ull;
  }
  // The lattice must not change between builds: prepared files depend on it.
  EXPECT_EQ(hash, 6678037923838198831ull) << "update only with a new header version";
}

TEST(ReplaceNoise, UnusableParametersThrow) {
  std::vector<uint16_t> pixels(16, 500);
  for (float step : {0.0f, -1.0f, NAN}) {
    EXPECT_THROW(Nivra::replace_noise(pixels.data(), pixels.size(), *Model(), step, 1), Nivra::NivraError);
  }
  EXPECT_THROW(Nivra::replace_noise(pixels.data(), pixels.size(), *Model(0.0f), 1.0f, 1), Nivra::NivraError);
  // A black level at or above the white level would flatten the image to one value.
  EXPECT_THROW(Nivra::replace_noise(pixels.data(), pixels.size(), *Model(2.0f, 5000.0f, 3.0f, 4095), 1.0f, 1),
               Nivra::NivraError);
  EXPECT_EQ(pixels, std::vector<uint16_t>(16, 500));
}
