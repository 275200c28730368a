// Points of the photon-transfer curve measured from stacks and from single images.
#pragma once

#include <cstddef>
#include <vector>

#include "nivra/calibration.hpp"

namespace Brimlake::Nivra::calibration {

using Calibration::EstimateRefused;
using Calibration::Plane;
using Calibration::Refusal;
using Calibration::Stack;

struct BinnedVariance {
  double mean = 0;
  double variance = 0;
  double error = 0;            // standard error of variance
  double effective_count = 0;  // independent-equivalent values behind it
  double values = 0;           // values kept
  double clipped_fraction = 0;  // of the bin's values, those touching 0 or the white level
};

struct CollectedSamples {
  std::vector<BinnedVariance> bins;
  std::size_t values = 0;
  // Variance of a bin coordinate (one value's mean) per unit of noise variance: the
  // spread the noise alone gives the means, to tell a scene's range from it.
  double mean_noise_factor = 0;
};

// Second differences x[k-1] − 2x[k] + x[k+1] of every pixel over consecutive frames
// (first differences for stacks of two), binned by the pixel's mean over nearby frames, robust to moving
// objects by clipping at four standard deviations and the interquartile range of the rest.
CollectedSamples StackSamples(const std::vector<Stack>& stacks, unsigned white_level);

// Residuals about the least-squares cubic surface of blocks of 8 × 8 same-colour
// pixels; blocks whose three local estimates (that one, and the residuals against the
// four nearest and the four diagonal neighbours) disagree hold structure and are left
// out; each bin takes the lower quartile of its blocks.
CollectedSamples ImageSamples(const std::vector<Plane>& images, ColorFilterArray cfa, unsigned white_level);

}  // namespace Brimlake::Nivra::calibration
