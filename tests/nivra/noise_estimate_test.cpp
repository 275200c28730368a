// The noise-model estimator on synthetic sensor data with known parameters: accuracy
// at the scene's 10th, 50th and 90th percentile intensity, the prepared error with the
// estimated model, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include <unistd.h>

#include "nivra/calibration.hpp"
#include "nivra/nivra.hpp"
#include "synthetic_images.hpp"

namespace nv = Brimlake::Nivra;
namespace cal = Brimlake::Nivra::Calibration;

namespace {

using nivra_test::SensorModel;

enum class Scene { kFlat, kGradient, kCells, kSpots };
const char* SceneName(Scene scene) {
  switch (scene) {
    case Scene::kFlat: return "flat";
    case Scene::kGradient: return "gradient";
    case Scene::kCells: return "cells";
    case Scene::kSpots: return "spots";
  }
  return "";
}

// Relative brightness 0..1 of a scene at a (continuous) position.
double Relative(Scene scene, double x, double y, double width, double height) {
  switch (scene) {
    case Scene::kFlat: {  // a flat field with the fall-off of real optics
      const double dx = x / width - 0.5, dy = y / height - 0.5;
      return 1 - 0.9 * (dx * dx + dy * dy);
    }
    case Scene::kGradient:
      return 0.03 + 0.97 * x / width;
    case Scene::kCells: {  // rounded blobs with textured interiors
      const double s = std::sin(x * 0.05) * std::cos(y * 0.065) + 0.5 * std::sin(x * 0.135 + y * 0.05);
      const double inside = std::max(0.0, s - 0.4) * (0.4 + 0.15 * (1 + std::sin(x * 0.15) * std::cos(y * 0.12)));
      return std::min(1.0, 0.02 + inside);
    }
    case Scene::kSpots: {
      const double cx = std::fmod(x, 48.0) - 24, cy = std::fmod(y, 48.0) - 24;
      return 0.05 + 0.1 * y / height + 0.8 * std::exp(-(cx * cx + cy * cy) / 18.0);
    }
  }
  return 0;
}

struct Case {
  Scene scene;
  bool bayer;
  int frames;  // 1: single image
  SensorModel model;
};

constexpr uint32_t kStackSize = 128, kImageSize = 256;

struct Data {
  uint32_t size;
  double peak;  // electrons at relative brightness 1
  std::vector<std::vector<uint16_t>> frames;
};

// The scene moved by `shift` pixels, seen by the sensor pixel (x, y).
double Electrons(const Case& c, double peak, uint32_t x, uint32_t y, uint32_t size, double shift = 0) {
  double relative = Relative(c.scene, x + shift, y + 0.5 * shift, size, size);
  // A colour scene seen through an RGGB mosaic.
  if (c.bayer) relative *= (x % 2 == 0 && y % 2 == 0) ? 0.55 : (x % 2 == 1 && y % 2 == 1) ? 0.35 : 1.0;
  return peak * relative;
}

Data Generate(const Case& c, uint64_t seed) {
  Data data;
  data.size = c.frames > 1 ? kStackSize : kImageSize;
  data.peak = 0.85 * (c.model.white_level - c.model.black_level) / c.model.gain;
  for (int k = 0; k < c.frames; ++k) {
    // Small drift (a tenth of a pixel per frame) and bleaching (0.2% per frame).
    const double shift = 0.1 * k, bleach = 1 - 0.002 * k;
    data.frames.push_back(nivra_test::SensorImage(
        data.size, data.size, c.model,
        [&](uint32_t x, uint32_t y) { return bleach * Electrons(c, data.peak, x, y, data.size, shift); },
        seed + static_cast<uint64_t>(k)));
  }
  return data;
}

cal::Plane PlaneOf(const std::vector<uint16_t>& pixels, uint32_t size) { return {pixels.data(), size, size, 0}; }

cal::NoiseModel EstimateOn(const Case& c, const Data& data) {
  cal::EstimateOptions options;
  options.cfa = c.bayer ? nv::ColorFilterArray::kBayerRG : nv::ColorFilterArray::kMono;
  cal::Stack stack;
  for (const auto& frame : data.frames) stack.push_back(PlaneOf(frame, data.size));
  return cal::Estimate({stack}, options);
}

// The scene's true mean values (digital numbers) at the given percentiles of its first frame.
std::vector<double> TrueMeansAt(const Case& c, const Data& data, std::initializer_list<double> percentiles) {
  std::vector<double> electrons;
  for (uint32_t y = 0; y < data.size; ++y) {
    for (uint32_t x = 0; x < data.size; ++x) electrons.push_back(Electrons(c, data.peak, x, y, data.size));
  }
  std::sort(electrons.begin(), electrons.end());
  std::vector<double> means;
  for (double p : percentiles) {
    means.push_back(c.model.black_level + c.model.gain * electrons[static_cast<std::size_t>(p * (electrons.size() - 1))]);
  }
  return means;
}

double TrueSd(const SensorModel& model, double mean) {
  return std::sqrt(model.gain * (mean - model.black_level) + model.sigma * model.sigma);
}

const Case kCases[] = {
    // Stacks of 8 to 64 frames.
    {Scene::kFlat, false, 16, {1.0f, 100.0f, 3.0f, 4095}},
    {Scene::kGradient, false, 8, {0.2f, 0.0f, 1.0f, 4095}},
    {Scene::kGradient, false, 32, {5.0f, 1000.0f, 10.0f, 65535}},
    {Scene::kCells, false, 16, {2.0f, 500.0f, 5.0f, 65535}},
    {Scene::kCells, true, 8, {0.5f, 64.0f, 2.0f, 4095}},
    {Scene::kSpots, false, 64, {0.2f, 1000.0f, 10.0f, 65535}},
    {Scene::kSpots, true, 16, {5.0f, 0.0f, 1.0f, 4095}},
    {Scene::kFlat, true, 8, {3.0f, 200.0f, 8.0f, 65535}},
    // Single images.
    {Scene::kFlat, false, 1, {1.0f, 100.0f, 3.0f, 4095}},
    {Scene::kGradient, false, 1, {0.2f, 0.0f, 1.0f, 4095}},
    {Scene::kGradient, true, 1, {5.0f, 1000.0f, 10.0f, 65535}},
    {Scene::kCells, false, 1, {2.0f, 500.0f, 5.0f, 65535}},
    {Scene::kCells, true, 1, {0.5f, 64.0f, 2.0f, 4095}},
    {Scene::kSpots, false, 1, {0.2f, 1000.0f, 10.0f, 65535}},
    {Scene::kSpots, true, 1, {5.0f, 0.0f, 1.0f, 4095}},
    {Scene::kFlat, true, 1, {3.0f, 200.0f, 8.0f, 65535}},
};

TEST(NoiseEstimate, KnownModelsAtTheScenesPercentiles) {
  std::printf("%-9s %-5s %6s %5s %6s %4s %6s | %-22s | %s\n", "scene", "cfa", "frames", "gain", "black", "read", "white",
              "sd error at p10/50/90", "estimate (gain, c = sigma^2 - g b)");
  uint64_t seed = 11;
  for (const Case& c : kCases) {
    const Data data = Generate(c, seed += 100);
    const cal::NoiseModel model = EstimateOn(c, data);
    const double low = c.frames > 1 ? -0.05 : -0.10;
    std::string errors;
    for (double mean : TrueMeansAt(c, data, {0.1, 0.5, 0.9})) {
      const double error = model.NoiseSd(mean) / TrueSd(c.model, mean) - 1;
      char text[16];
      std::snprintf(text, sizeof text, "%+6.1f%% ", 100 * error);
      errors += text;
      EXPECT_GE(error, low) << SceneName(c.scene) << " frames " << c.frames << " at mean " << mean;
      EXPECT_LE(error, 0.03) << SceneName(c.scene) << " frames " << c.frames << " at mean " << mean;
    }
    const double true_c = c.model.sigma * c.model.sigma - c.model.gain * c.model.black_level;
    std::printf("%-9s %-5s %6d %5.1f %6.0f %4.0f %6u | %-22s | %.3f (%.3f), %.0f (%.0f)\n", SceneName(c.scene),
                c.bayer ? "RGGB" : "mono", c.frames, c.model.gain, c.model.black_level, c.model.sigma,
                c.model.white_level, errors.c_str(), model.slope, c.model.gain, model.intercept, true_c);
  }
}

TEST(NoiseEstimate, DarkFramesGiveTheBlackLevelAndReadNoise) {
  const Case c{Scene::kGradient, false, 8, {1.5f, 300.0f, 4.0f, 65535}};
  const Data data = Generate(c, 5);
  std::vector<std::vector<uint16_t>> dark;
  for (int k = 0; k < 4; ++k) {
    dark.push_back(nivra_test::SensorImage(kStackSize, kStackSize, c.model, [](uint32_t, uint32_t) { return 0.0; },
                                           900 + static_cast<uint64_t>(k)));
  }
  cal::EstimateOptions options;
  for (const auto& frame : dark) options.dark_frames.push_back(PlaneOf(frame, kStackSize));
  cal::Stack stack;
  for (const auto& frame : data.frames) stack.push_back(PlaneOf(frame, kStackSize));
  const cal::NoiseModel model = cal::EstimateFromStacks({stack}, options);
  EXPECT_NEAR(model.black_level, 300.0, 0.5);
  EXPECT_NEAR(model.sigma, 4.0, 0.2);
  EXPECT_EQ(model.black_level_source, "the dark frames");
}

// Preparing with the estimated model keeps the error, measured in true noise units,
// uniform within half a step and unbiased.
TEST(NoiseEstimate, PreparedErrorStaysInsideTheBound) {
  const Case cases[] = {
      {Scene::kGradient, false, 1, {2.0f, 100.0f, 3.0f, 65535}},
      {Scene::kCells, true, 16, {0.5f, 64.0f, 2.0f, 4095}},
  };
  for (const Case& c : cases) {
    const Data data = Generate(c, 77);
    const cal::NoiseModel model = EstimateOn(c, data);
    const std::vector<uint16_t>& original = data.frames.back();
    std::vector<uint16_t> prepared = original;
    nv::replace_noise(prepared.data(), prepared.size(), model.Parameters(), 1.0f, 1234);
    double sum = 0, sum_squares = 0, worst = 0;
    std::size_t counted = 0;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
      if (original[i] >= c.model.white_level) continue;
      const double error = (prepared[i] - static_cast<double>(original[i])) / TrueSd(c.model, original[i]);
      sum += error;
      sum_squares += error * error;
      ++counted;
      // Half a step of the estimated model plus the integer rounding. (The bin's
      // half-widths in values differ slightly from half of sqrt(q): the transform bends.)
      const double half_step =
          0.5 * std::sqrt(model.slope * original[i] + model.intercept + 0.375 * model.slope * model.slope);
      worst = std::max(worst, (std::fabs(prepared[i] - static_cast<double>(original[i])) - 0.5) / half_step);
    }
    const double n = static_cast<double>(counted);
    EXPECT_LE(worst, 1.02) << SceneName(c.scene);
    EXPECT_LT(std::fabs(sum / n), 0.01) << SceneName(c.scene);
    // Uniform over one step of at most the true noise: rms at most 1/sqrt(12) of it.
    EXPECT_LE(std::sqrt(sum_squares / n), 1 / std::sqrt(12.0) * 1.03 + 0.01) << SceneName(c.scene);
    std::printf("%-9s %-5s frames %2d: prepared error in true noise units: mean %+.4f, rms %.4f (uniform: %.4f)\n",
                SceneName(c.scene), c.bayer ? "RGGB" : "mono", c.frames, sum / n, std::sqrt(sum_squares / n),
                1 / std::sqrt(12.0));
  }
}

struct RefusalCase {
  const char* name;
  cal::Refusal expected;
  std::function<std::vector<std::vector<uint16_t>>()> frames;
  uint32_t size;
};

std::vector<std::vector<uint16_t>> Frames(Scene scene, int count, SensorModel model, uint32_t size,
                                          std::function<uint16_t(uint16_t)> change = {}) {
  const Case c{scene, false, count, model};
  Data data = Generate(c, 3);
  if (data.size != size) {
    data.frames.clear();
    for (int k = 0; k < count; ++k) {
      data.frames.push_back(nivra_test::SensorImage(
          size, size, model, [&](uint32_t x, uint32_t y) { return Electrons(c, data.peak, x, y, size); }, 40 + k));
    }
  }
  if (change) {
    for (auto& frame : data.frames) std::transform(frame.begin(), frame.end(), frame.begin(), change);
  }
  return data.frames;
}

TEST(NoiseEstimate, RefusesDataThatCannotSupportAnEstimate) {
  const SensorModel model{2.0f, 100.0f, 3.0f, 65535};
  std::mt19937_64 random(5);
  const RefusalCase cases[] = {
      {"uniform field", cal::Refusal::kNarrowRange,
       [&] {
         std::vector<std::vector<uint16_t>> frames;
         for (int k = 0; k < 8; ++k) {
           frames.push_back(nivra_test::SensorImage(64, 64, model, nivra_test::Flat, 60 + k));
         }
         return frames;
       },
       64},
      {"too small", cal::Refusal::kTooFewSamples, [&] { return Frames(Scene::kGradient, 2, model, 24); }, 24},
      {"8-bit", cal::Refusal::kCoarseGrid,
       [&] { return Frames(Scene::kGradient, 8, {0.05f, 5.0f, 1.0f, 255}, kStackSize); }, kStackSize},
      {"12 bits shifted into 16", cal::Refusal::kCoarseGrid,
       [&] {
         return Frames(Scene::kGradient, 8, {1.0f, 64.0f, 2.0f, 4095}, kStackSize,
                       [](uint16_t v) { return static_cast<uint16_t>(v << 4); });
       },
       kStackSize},
      {"stretched", cal::Refusal::kCoarseGrid,
       [&] {
         return Frames(Scene::kGradient, 8, {1.0f, 64.0f, 2.0f, 4095}, kStackSize,
                       [](uint16_t v) { return static_cast<uint16_t>(std::lround(v * 3.7)); });
       },
       kStackSize},
      {"saturated", cal::Refusal::kSaturated,
       [&] {
         return Frames(Scene::kGradient, 8, model, kStackSize,
                       [](uint16_t v) { return std::min<uint16_t>(v, 4095); });
       },
       kStackSize},
      {"variance not growing", cal::Refusal::kVarianceNotGrowing,
       [&] {
         std::vector<std::vector<uint16_t>> frames;
         std::normal_distribution<double> noise(0, 6);
         for (int k = 0; k < 8; ++k) {
           std::vector<uint16_t> frame(kStackSize * kStackSize);
           for (std::size_t i = 0; i < frame.size(); ++i) {
             frame[i] = static_cast<uint16_t>(std::lround(200 + 30 * (i % kStackSize) + noise(random)));
           }
           frames.push_back(frame);
         }
         return frames;
       },
       kStackSize},
      {"curve, not a line", cal::Refusal::kNotALine,
       [&] {
         std::vector<std::vector<uint16_t>> frames;
         for (int k = 0; k < 8; ++k) {
           std::vector<uint16_t> frame(kStackSize * kStackSize);
           for (std::size_t i = 0; i < frame.size(); ++i) {
             const double mean = 300 + 400.0 * (i % kStackSize);
             std::normal_distribution<double> noise(0, 1 + 0.03 * mean);
             frame[i] = static_cast<uint16_t>(std::clamp(std::lround(mean + noise(random)), 1L, 65534L));
           }
           frames.push_back(frame);
         }
         return frames;
       },
       kStackSize},
      {"already prepared", cal::Refusal::kAlreadyPrepared,
       [&] {
         auto frames = Frames(Scene::kGradient, 8, model, kStackSize);
         auto parameters = std::make_shared<nv::ExtendedAnscombeParameters>(2.0f, 100.0f, 3.0f, 65535u);
         for (auto& frame : frames) {
           nv::replace_noise(frame.data(), frame.size(), *parameters, 1.0f, 9);
           nv::MonochromeHeader(9, 1.0f, parameters).Embed(frame);
         }
         return frames;
       },
       kStackSize},
  };
  for (const RefusalCase& c : cases) {
    const auto frames = c.frames();
    cal::Stack stack;
    for (const auto& frame : frames) stack.push_back(PlaneOf(frame, c.size));
    try {
      const cal::NoiseModel model = cal::Estimate({stack});
      ADD_FAILURE() << c.name << ": estimated gain " << model.slope << " instead of refusing";
    } catch (const cal::EstimateRefused& refused) {
      EXPECT_EQ(refused.refusal(), c.expected) << c.name << ": " << refused.what();
      std::printf("%-24s %s\n", c.name, refused.what());
    }
  }
}

TEST(NoiseEstimate, CalibrationFileLoadsIntoTheRegistry) {
  const Case c{Scene::kGradient, false, 8, {1.0f, 100.0f, 3.0f, 4095}};
  const Data data = Generate(c, 21);
  const cal::NoiseModel model = EstimateOn(c, data);
  const std::string text = cal::CalibrationFileText(model, "Test_Estimated", {{"frames.tif"}, "test"});
  const auto path = std::filesystem::temp_directory_path() / ("nivra_estimate_" + std::to_string(getpid()) + ".json");
  {
    std::ofstream(path) << text;
  }
  ASSERT_EQ(nv::ParameterRegistry::load_file(path), 1u);
  std::filesystem::remove(path);
  auto parameters =
      std::dynamic_pointer_cast<nv::ExtendedAnscombeParameters>(nv::ParameterRegistry::get_parameters("Test_Estimated"));
  ASSERT_TRUE(parameters);
  EXPECT_NEAR(parameters->gain(), model.slope, 1e-4 * model.slope);
  const double c_file = parameters->sigma() * parameters->sigma() - parameters->gain() * parameters->black_level();
  // The stored split never gives more noise than the model kept.
  EXPECT_LE(c_file, model.intercept + 1e-3);
  EXPECT_NEAR(c_file, model.intercept, 0.01 + 1e-4 * std::fabs(model.intercept));
  EXPECT_NE(nv::ParameterRegistry::get_metadata("Test_Estimated").find("frames.tif"), std::string::npos);
  nv::ParameterRegistry::clear();
}

}  // namespace
