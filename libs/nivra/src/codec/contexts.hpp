// How a sample's neighbourhood selects its entropy-coding context.
#pragma once

#include <cstdint>

#include "codec/prediction.hpp"
#include "codec/rans.hpp"

namespace Brimlake::Nivra::codec {

// Lossless: context 0 for borders, else 1 + bit length of the activity (capped).
inline uint32_t LosslessContext(uint32_t activity) {
  if (activity == kBorder) return 0;
  unsigned bits = BitLength(activity);
  return 1 + (bits < kContexts - 2 ? bits : kContexts - 2);
}

// Prepared mode predicts in the dequantized domain: each sample of the plane is
// its bin centre 256·k − dither (in 1/256 steps). Adding this pixel's dither to
// the prediction and rounding gives the expected bin; how close the prediction
// lies to a bin edge (its phase) says how uncertain that is, so the phase and
// the activity (relative to the noise) select the context, and residuals are
// mirrored so that the likelier neighbour bin is always the positive one.
class PreparedContexts {
 public:
  explicit PreparedContexts(float error_bound) {
    // Noise standard deviation in plane units is 256 / error_bound.
    double noise = 256.0 / static_cast<double>(error_bound);
    auto units = noise >= 1.0 ? static_cast<uint32_t>(noise < 4.0e9 ? noise : 4.0e9) : 1u;
    activity_shift_ = BitLength(units) - 1;
  }

  struct Choice {
    uint32_t context;
    int32_t predicted_bin;
    bool mirrored;
  };

  [[gnu::always_inline]] Choice Choose(int32_t prediction, uint32_t activity, int32_t dither_fine) const {
    int32_t p = prediction + dither_fine + 128;
    int32_t phase = p & 255;  // 128: prediction on a bin centre; 0: on a bin edge
    int32_t edge_distance = phase < 128 ? 128 - phase : phase - 128;
    uint32_t phase_class = static_cast<uint32_t>(edge_distance) >> 5;  // 0 certain .. 3 between two bins
    if (phase_class > 3) phase_class = 3;
    uint32_t activity_class = 0;
    if (activity != kBorder) {
      unsigned bits = BitLength(activity >> activity_shift_);
      activity_class = bits <= 2 ? 1 : bits == 3 ? 2 : 3;
    }
    return {activity_class * 4 + phase_class, p >> 8, phase < 128};
  }

 private:
  unsigned activity_shift_;
};

}  // namespace Brimlake::Nivra::codec
