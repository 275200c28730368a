// Calibrated noise replacement: every value up to the white level moves to the
// representative of its dithered lattice bin; values above it stay as they are.
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {

void replace_noise(uint16_t* pixels, std::size_t count, const QuantizerParameters& parameters,
                   float error_bound, uint64_t seed) {
  if (const char* why = noise::Lattice::Unusable(parameters, error_bound)) {
    throw NivraError(BM_PARAMETERS_NOT_USABLE, why);
  }
  auto lattice = noise::Lattice::For(parameters, error_bound);
  const unsigned white = lattice->white();
  for (std::size_t i = 0; i < count; ++i) {
    uint16_t x = pixels[i];
    if (x > white) continue;
    double u = noise::Dither(seed, i);
    pixels[i] = static_cast<uint16_t>(lattice->Representative(lattice->Bin(x, u), u));
  }
}

}  // namespace Brimlake::Nivra
