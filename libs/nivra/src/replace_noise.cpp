// Calibrated noise replacement: every value up to the white level moves to the
// representative of its dithered lattice bin; values above it stay as they are.
// Each pixel depends on its value and index alone, so blocks run in parallel.
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {

void replace_noise(uint16_t* pixels, std::size_t count, const QuantizerParameters& parameters,
                   float error_bound, uint64_t seed, const ParallelFor& parallel_for) {
  if (const char* why = noise::Lattice::Unusable(parameters, error_bound)) {
    throw NivraError(BM_PARAMETERS_NOT_USABLE, why);
  }
  auto lattice = noise::Lattice::For(parameters, error_bound);
  auto block = [&, pixels](std::size_t begin, std::size_t end) {
    noise::PrepareBlock(*lattice, seed, begin, pixels + begin, end - begin);
  };
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  const std::size_t blocks = (count + kBlock - 1) / kBlock;
  if (blocks <= 1 || !parallel_for) {
    block(0, count);
    return;
  }
  parallel_for(blocks, [&](std::size_t b) { block(b * kBlock, std::min(count, (b + 1) * kBlock)); });
}

void replace_noise(uint16_t* pixels, std::size_t count, const QuantizerParameters& parameters,
                   float error_bound, uint64_t seed) {
  replace_noise(pixels, count, parameters, error_bound, seed, {});
}

}  // namespace Brimlake::Nivra
