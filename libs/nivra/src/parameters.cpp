// Calibration parameter types.
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {

QuantizerParameters::~QuantizerParameters() = default;

ExtendedAnscombeParameters::ExtendedAnscombeParameters(float gain, float black_level, float sigma,
                                                       unsigned white_level)
    : gain_(gain), black_level_(black_level), sigma_(sigma), white_level_(white_level) {}

std::unique_ptr<QuantizerParameters> ExtendedAnscombeParameters::Clone() const {
  return std::make_unique<ExtendedAnscombeParameters>(*this);
}

}  // namespace Brimlake::Nivra
