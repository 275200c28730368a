#include "calibration/data_checks.hpp"

#include <algorithm>
#include <numeric>

#include "calibration/number_text.hpp"

namespace Brimlake::Nivra::calibration {

void ValueHistogram::Add(const Plane& plane) {
  for (uint32_t y = 0; y < plane.height; ++y) {
    const uint16_t* row = plane.pixels + std::size_t{y} * plane.Stride();
    for (uint32_t x = 0; x < plane.width; ++x) ++counts[row[x]];
  }
  total += uint64_t{plane.width} * plane.height;
}

unsigned ValueHistogram::Quantile(double fraction) const {
  const double target = fraction * static_cast<double>(total);
  uint64_t seen = 0;
  for (unsigned value = 0; value < counts.size(); ++value) {
    seen += counts[value];
    if (static_cast<double>(seen) >= target && seen > 0) return value;
  }
  return 65535;
}

unsigned ValueHistogram::Max() const {
  for (unsigned value = 65535; value > 0; --value) {
    if (counts[value] != 0) return value;
  }
  return 0;
}

void RefusePrepared(const std::vector<Plane>& planes) {
  for (const Plane& plane : planes) {
    // The header sits in the leading pixels of the first row.
    if (plane.width == 0 || plane.height == 0) continue;
    const std::size_t row = plane.Stride() == plane.width ? std::size_t{plane.width} * plane.height : plane.width;
    const std::size_t leading = std::min<std::size_t>(row, 64);
    if (EmbeddedHeader::Read(std::span<const uint16_t>(plane.pixels, leading))) {
      throw EstimateRefused(Refusal::kAlreadyPrepared,
                            "the images are already prepared (they carry the embedded header of prepared data); "
                            "measure the noise on the original images");
    }
  }
}

void RefuseCoarseGrid(const ValueHistogram& histogram) {
  const unsigned max = histogram.Max();
  if (max <= 255) {
    throw EstimateRefused(Refusal::kCoarseGrid,
                          "8-bit data (no value above " + std::to_string(max) +
                              "): the noise model is measured on raw 16-bit images");
  }
  // A common step between the values in use (the maximum may be a clipping value off it).
  unsigned first = 0, step = 0, distinct = 0;
  for (unsigned value = 1; value < max; ++value) {
    if (histogram.counts[value] == 0) continue;
    ++distinct;
    if (first == 0) {
      first = value;
    } else {
      step = std::gcd(step, value - first);
    }
  }
  if (distinct >= 16 && step >= 2) {
    throw EstimateRefused(Refusal::kCoarseGrid,
                          "the values lie on a grid of step " + std::to_string(step) +
                              " (data scaled from fewer bits or processed); the noise model is measured on raw data");
  }
  // Where there are many values per possible value, noise fills nearly every value of the range.
  const unsigned low = histogram.Quantile(0.01), high = histogram.Quantile(0.99);
  uint64_t inside = 0;
  unsigned used = 0;
  for (unsigned value = low; value <= high; ++value) {
    inside += histogram.counts[value];
    used += histogram.counts[value] != 0;
  }
  const double span = static_cast<double>(high - low + 1);
  if (span >= 32 && static_cast<double>(inside) >= 8 * span && used < 0.5 * span) {
    throw EstimateRefused(Refusal::kCoarseGrid,
                          "only " + Num(100.0 * used / span, 3) + "% of the values between " + std::to_string(low) +
                              " and " + std::to_string(high) +
                              " occur although the data would fill them: the values were processed (stretched, "
                              "scaled or quantized); the noise model is measured on raw data");
  }
}

WhiteLevel FindWhiteLevel(const ValueHistogram& histogram) {
  const unsigned max = histogram.Max();
  const uint64_t at_max = histogram.counts[max];
  uint64_t below = 0;
  for (unsigned value = max > 16 ? max - 16 : 0; value < max; ++value) below += histogram.counts[value];
  const double plateau_minimum = std::max(16.0, 0.0005 * static_cast<double>(histogram.total));
  if (static_cast<double>(at_max) >= plateau_minimum && static_cast<double>(at_max) > 4 * static_cast<double>(below) / 16) {
    return {max, "the saturation plateau at " + std::to_string(max) + " (" + std::to_string(at_max) + " values)"};
  }
  for (unsigned bits : {10u, 12u, 14u, 16u}) {
    const unsigned white = (1u << bits) - 1;
    if (max <= white) {
      return {white, std::to_string(bits) + " bits in use (largest value " + std::to_string(max) + ")"};
    }
  }
  return {65535, "16 bits"};
}

}  // namespace Brimlake::Nivra::calibration
