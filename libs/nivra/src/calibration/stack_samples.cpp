#include <algorithm>
#include <cmath>

#include "calibration/intensity_bins.hpp"
#include "calibration/variance_samples.hpp"

namespace Brimlake::Nivra::calibration {
namespace {

// Variance of a normal variable cut at ±4 standard deviations, as a fraction of the whole.
constexpr double kClippedNormalVariance = 0.998929;

// Calls visit(mean, difference, clipped) for every difference of every stack.
template <class Visit>
void ForEachDifference(const std::vector<Stack>& stacks, unsigned white, Visit&& visit) {
  for (const Stack& stack : stacks) {
    if (stack.size() < 2) continue;
    const uint32_t width = stack.front().width, height = stack.front().height;
    const bool second = stack.size() >= 3;
    const std::size_t first = second ? 1 : 0, last = second ? stack.size() - 1 : 1;
    for (std::size_t k = first; k < last; ++k) {
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          if (second) {
            const int a = stack[k - 1].At(x, y), b = stack[k].At(x, y), c = stack[k + 1].At(x, y);
            const bool clipped = std::min({a, b, c}) == 0 || static_cast<unsigned>(std::max({a, b, c})) >= white;
            visit((a + b + c) / 3.0, static_cast<double>(a - 2 * b + c), clipped);
          } else {
            const int a = stack[0].At(x, y), b = stack[1].At(x, y);
            const bool clipped = std::min(a, b) == 0 || static_cast<unsigned>(std::max(a, b)) >= white;
            visit((a + b) / 2.0, static_cast<double>(b - a), clipped);
          }
        }
      }
    }
  }
}

}  // namespace

CollectedSamples StackSamples(const std::vector<Stack>& stacks, unsigned white_level) {
  bool second = false;
  for (const Stack& stack : stacks) second |= stack.size() >= 3;
  // Var(x − 2y + z) = 6 var; overlapping second differences are correlated (ρ = −2/3 at
  // lag 1, 1/6 at lag 2), which leaves 1/1.944 of them independent-equivalent.
  const double factor = second ? 6.0 : 2.0;
  const double independent = second ? 1 / 1.944 : 1.0;

  IntensityBins bins;
  ForEachDifference(stacks, white_level, [&](double mean, double, bool) { bins.Count(mean); });
  CollectedSamples collected;
  collected.mean_noise_factor = second ? 1.0 / 3 : 1.0 / 2;
  if (bins.Counted() == 0) return collected;
  bins.Cut(std::clamp<std::size_t>(bins.Counted() / 5000, 8, 48));

  std::vector<BinSums> sums(bins.size());
  ForEachDifference(stacks, white_level, [&](double mean, double difference, bool clipped) {
    BinSums& bin = sums[bins.Index(mean)];
    if (clipped) {
      bin.clipped += 1;
    } else {
      bin.Add(mean, difference);
    }
  });
  // Moving objects, passing cells and hot pixels give differences far outside the noise.
  for (int round = 0; round < 2; ++round) {
    std::vector<BinSums> kept(bins.size());
    ForEachDifference(stacks, white_level, [&](double mean, double difference, bool clipped) {
      const std::size_t index = bins.Index(mean);
      const BinSums& previous = sums[index];
      BinSums& bin = kept[index];
      if (clipped) {
        bin.clipped += 1;
      } else if (std::fabs(difference - previous.Mean()) <= 4 * std::sqrt(previous.Variance() / (round == 0 ? 1 : kClippedNormalVariance))) {
        bin.Add(mean, difference);
      }
    });
    sums = std::move(kept);
  }
  for (const BinSums& bin : sums) {
    if (bin.count < 32) continue;
    BinnedVariance sample;
    sample.mean = bin.sum_mean / bin.count;
    sample.variance = bin.Variance() / kClippedNormalVariance / factor;
    sample.values = bin.count;
    sample.effective_count = bin.count * independent;
    sample.error = sample.variance * std::sqrt(2 / std::max(1.0, sample.effective_count - 1));
    sample.clipped_fraction = bin.clipped / (bin.clipped + bin.count);
    collected.values += static_cast<std::size_t>(bin.count);
    collected.bins.push_back(sample);
  }
  return collected;
}

}  // namespace Brimlake::Nivra::calibration
