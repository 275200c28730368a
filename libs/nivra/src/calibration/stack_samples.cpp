#include <algorithm>
#include <cmath>

#include "calibration/intensity_bins.hpp"
#include "calibration/variance_samples.hpp"

namespace Brimlake::Nivra::calibration {
namespace {

// The bin coordinate of a difference is the pixel's mean over a window of up to this
// many frames around it: its noise adds no variance to the difference (each frame counts
// 1/W in the mean, and 1 − 2 + 1 in the difference), and averaging shrinks the scatter of
// the means, which would otherwise flatten the slope measured across bins.
constexpr std::size_t kWindow = 9;

// Calls visit(mean, difference, clipped) for every difference of every stack.
template <class Visit>
void ForEachDifference(const std::vector<Stack>& stacks, unsigned white, Visit&& visit) {
  for (const Stack& stack : stacks) {
    if (stack.size() < 2) continue;
    const uint32_t width = stack.front().width, height = stack.front().height;
    const bool second = stack.size() >= 3;
    const std::size_t first = second ? 1 : 0, last = second ? stack.size() - 1 : 1;
    const std::size_t window = std::min(kWindow, stack.size());
    for (std::size_t k = first; k < last; ++k) {
      // The window holds frames k − 1 .. k + 1 and stays inside the stack.
      const std::size_t start = std::min(k > kWindow / 2 ? k - kWindow / 2 : 0, stack.size() - window);
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          double sum = 0;
          for (std::size_t f = start; f < start + window; ++f) sum += stack[f].At(x, y);
          const double mean = sum / static_cast<double>(window);
          if (second) {
            const int a = stack[k - 1].At(x, y), b = stack[k].At(x, y), c = stack[k + 1].At(x, y);
            const bool clipped = std::min({a, b, c}) == 0 || static_cast<unsigned>(std::max({a, b, c})) >= white;
            visit(mean, static_cast<double>(a - 2 * b + c), clipped);
          } else {
            const int a = stack[0].At(x, y), b = stack[1].At(x, y);
            const bool clipped = std::min(a, b) == 0 || static_cast<unsigned>(std::max(a, b)) >= white;
            visit(mean, static_cast<double>(b - a), clipped);
          }
        }
      }
    }
  }
}

}  // namespace

CollectedSamples StackSamples(const std::vector<Stack>& stacks, unsigned white_level) {
  bool second = false;
  std::size_t longest = 0;
  for (const Stack& stack : stacks) {
    second |= stack.size() >= 3;
    longest = std::max(longest, stack.size());
  }
  // Var(x − 2y + z) = 6 var; overlapping second differences are correlated (ρ = −2/3 at
  // lag 1, 1/6 at lag 2), which leaves 1/1.944 of them independent-equivalent.
  const double factor = second ? 6.0 : 2.0;
  const double independent = second ? 1 / 1.944 : 1.0;

  IntensityBins bins;
  ForEachDifference(stacks, white_level, [&](double mean, double, bool) { bins.Count(mean); });
  CollectedSamples collected;
  collected.mean_noise_factor = 1.0 / static_cast<double>(std::min(kWindow, longest));
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
  // Moving objects, passing cells and hot pixels give differences far outside the noise:
  // one round of clipping at four standard deviations, then the spread of the bulk.
  std::vector<BinSums> kept(bins.size());
  ForEachDifference(stacks, white_level, [&](double mean, double difference, bool clipped) {
    const std::size_t index = bins.Index(mean);
    const BinSums& previous = sums[index];
    if (!clipped && std::fabs(difference - previous.Mean()) <= 4 * std::sqrt(previous.Variance())) {
      kept[index].Add(mean, difference);
    }
  });
  // Smaller changes of the scene (a cell moving a little) widen the tails but hardly the
  // middle: the interquartile range of each bin, in steps of a hundredth of its clipped
  // standard deviation, gives the noise. A uniform dither of one unit makes the integer
  // differences continuous; its variance, 1/12, is taken off again.
  constexpr int kSteps = 800;  // ±8 standard deviations
  std::vector<std::vector<double>> histograms(bins.size(), std::vector<double>(2 * kSteps + 2, 0));
  uint64_t state = 0x9E3779B97F4A7C15u;
  ForEachDifference(stacks, white_level, [&](double mean, double difference, bool clipped) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    if (clipped) return;
    const std::size_t index = bins.Index(mean);
    const BinSums& bin = kept[index];
    const double sd = std::sqrt(bin.Variance());
    if (!(sd > 0)) return;
    const double dither = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    const double z = (difference + dither - bin.Mean()) / sd;
    const double slot = std::floor(z * 100) + kSteps + 1;
    histograms[index][static_cast<std::size_t>(std::clamp(slot, 0.0, 2.0 * kSteps + 1))] += 1;
  });
  auto quantile = [&](const std::vector<double>& histogram, double total, double p) {
    double seen = 0;
    for (std::size_t slot = 0; slot < histogram.size(); ++slot) {
      if (seen + histogram[slot] >= p * total && histogram[slot] > 0) {
        const double inside = (p * total - seen) / histogram[slot];
        return (static_cast<double>(slot) - kSteps - 1 + inside) / 100;
      }
      seen += histogram[slot];
    }
    return 8.0;
  };
  // Normal interquartile range in standard deviations; the relative standard error of a
  // variance from it is 2.33 / sqrt(n) (against sqrt(2 / n) for the sample variance).
  constexpr double kNormalIqr = 1.3489795003921634;
  constexpr double kIqrVarianceError = 2.33;
  for (std::size_t index = 0; index < bins.size(); ++index) {
    const BinSums& bin = kept[index];
    if (bin.count < 32) continue;
    double total = 0;
    for (double count : histograms[index]) total += count;
    const double iqr = quantile(histograms[index], total, 0.75) - quantile(histograms[index], total, 0.25);
    const double sd = std::sqrt(bin.Variance()) * iqr / kNormalIqr;
    BinnedVariance sample;
    sample.mean = bin.sum_mean / bin.count;
    sample.variance = std::max(0.0, sd * sd - 1.0 / 12) / factor;
    sample.values = bin.count;
    sample.effective_count = bin.count * independent;
    const double relative = kIqrVarianceError / std::sqrt(std::max(1.0, sample.effective_count));
    sample.error = sample.variance * relative;
    sample.effective_count = 2 / (relative * relative);
    sample.clipped_fraction = sums[index].clipped / (sums[index].clipped + sums[index].count);
    collected.values += static_cast<std::size_t>(bin.count);
    collected.bins.push_back(sample);
  }
  return collected;
}

}  // namespace Brimlake::Nivra::calibration
