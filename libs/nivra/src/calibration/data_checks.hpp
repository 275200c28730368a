// What the values themselves say before any noise is measured: prepared data, 8-bit or
// processed values, the white level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nivra/calibration.hpp"

namespace Brimlake::Nivra::calibration {

using Calibration::EstimateRefused;
using Calibration::Plane;
using Calibration::Refusal;
using Calibration::Stack;

struct ValueHistogram {
  std::vector<uint64_t> counts = std::vector<uint64_t>(65536, 0);
  uint64_t total = 0;
  void Add(const Plane& plane);
  // The smallest value with at least `fraction` of all values at or below it.
  unsigned Quantile(double fraction) const;
  unsigned Max() const;
};

// Throws EstimateRefused (kAlreadyPrepared) when a plane carries an embedded header.
void RefusePrepared(const std::vector<Plane>& planes);

// Throws EstimateRefused (kCoarseGrid) for 8-bit values, values on a grid of a common
// step (data scaled from fewer bits) and values that leave most of their range unused
// (stretched or otherwise processed data).
void RefuseCoarseGrid(const ValueHistogram& histogram);

struct WhiteLevel {
  unsigned value;
  std::string source;
};
// A saturation plateau (many values at the maximum, far more than just below it) gives the
// white level; otherwise the bits in use do (10, 12, 14 or 16).
WhiteLevel FindWhiteLevel(const ValueHistogram& histogram);

}  // namespace Brimlake::Nivra::calibration
