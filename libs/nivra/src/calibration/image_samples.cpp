#include <algorithm>
#include <cmath>

#include "calibration/intensity_bins.hpp"
#include "calibration/variance_samples.hpp"

namespace Brimlake::Nivra::calibration {
namespace {

constexpr int kBlock = 8;
constexpr double kBlockValues = kBlock * kBlock;
// Var(x − mean of four neighbours) = 1.25 var for independent noise; neighbouring
// residuals are correlated (ρ = −0.4 at distance 1, 0.1 diagonally, 0.05 at 2), which
// leaves 1/1.69 of them independent-equivalent.
constexpr double kResidualFactor = 1.25;
constexpr double kIndependent = 1 / 1.69;

struct Block {
  double mean;
  double cross;     // residual variance against the four nearest neighbours / 1.25
  double diagonal;  // the same against the four diagonal neighbours
  double surface;   // variance about the block's least-squares cubic surface
  bool clipped;
};

// One colour of a mosaic (or the whole of a monochrome plane) as an image of its own.
struct ColourView {
  const Plane& plane;
  uint32_t x0, y0, step;
  uint32_t Width() const { return (plane.width - x0 + step - 1) / step; }
  uint32_t Height() const { return (plane.height - y0 + step - 1) / step; }
  int At(int64_t i, int64_t j) const {
    return plane.At(static_cast<uint32_t>(x0 + i * step), static_cast<uint32_t>(y0 + j * step));
  }
};

// Orthonormal polynomials up to degree three over the block (Gram-Schmidt from the
// monomials), without the constant.
constexpr int kTerms = 9;
struct Basis {
  double phi[kTerms][kBlock * kBlock];
  Basis() {
    constexpr int kN = kBlock * kBlock;
    const int powers[kTerms][2] = {{1, 0}, {0, 1}, {2, 0}, {1, 1}, {0, 2}, {3, 0}, {2, 1}, {1, 2}, {0, 3}};
    for (int k = 0; k < kTerms; ++k) {
      double mean = 0;
      for (int p = 0; p < kN; ++p) {
        const double u = p % kBlock - (kBlock - 1) / 2.0, v = p / kBlock - (kBlock - 1) / 2.0;
        phi[k][p] = std::pow(u, powers[k][0]) * std::pow(v, powers[k][1]);
        mean += phi[k][p] / kN;
      }
      for (int p = 0; p < kN; ++p) phi[k][p] -= mean;
      for (int previous = 0; previous < k; ++previous) {
        double dot = 0;
        for (int p = 0; p < kN; ++p) dot += phi[k][p] * phi[previous][p];
        for (int p = 0; p < kN; ++p) phi[k][p] -= dot * phi[previous][p];
      }
      double norm = 0;
      for (int p = 0; p < kN; ++p) norm += phi[k][p] * phi[k][p];
      for (int p = 0; p < kN; ++p) phi[k][p] /= std::sqrt(norm);
    }
  }
};

void AddBlocks(const ColourView& view, unsigned white, std::vector<Block>& blocks) {
  static const Basis basis;
  const int64_t width = view.Width(), height = view.Height();
  // Blocks keep one pixel off every edge: each residual needs all its neighbours.
  for (int64_t by = 1; by + kBlock + 1 <= height; by += kBlock) {
    for (int64_t bx = 1; bx + kBlock + 1 <= width; bx += kBlock) {
      double sum = 0, sum_squares = 0, cross = 0, diagonal = 0;
      double projections[kTerms] = {};
      bool clipped = false;
      for (int64_t j = by - 1; j <= by + kBlock && !clipped; ++j) {
        for (int64_t i = bx - 1; i <= bx + kBlock; ++i) {
          const int value = view.At(i, j);
          if (value == 0 || static_cast<unsigned>(value) >= white) clipped = true;
        }
      }
      for (int64_t j = by; j < by + kBlock; ++j) {
        for (int64_t i = bx; i < bx + kBlock; ++i) {
          const double value = view.At(i, j);
          const std::size_t index = static_cast<std::size_t>((j - by) * kBlock + (i - bx));
          sum += value;
          sum_squares += value * value;
          for (int k = 0; k < kTerms; ++k) projections[k] += basis.phi[k][index] * value;
          const double r = value - (view.At(i - 1, j) + view.At(i + 1, j) + view.At(i, j - 1) + view.At(i, j + 1)) / 4.0;
          const double d =
              value - (view.At(i - 1, j - 1) + view.At(i + 1, j - 1) + view.At(i - 1, j + 1) + view.At(i + 1, j + 1)) / 4.0;
          cross += r * r;
          diagonal += d * d;
        }
      }
      const double mean = sum / kBlockValues;
      // Residual of the least-squares cubic surface: a smooth scene leaves little.
      double residual = sum_squares - kBlockValues * mean * mean;
      for (int k = 0; k < kTerms; ++k) residual -= projections[k] * projections[k];
      blocks.push_back(Block{mean, cross / (kBlockValues * kResidualFactor), diagonal / (kBlockValues * kResidualFactor),
                             std::max(0.0, residual) / (kBlockValues - 1 - kTerms), clipped});
    }
  }
}

}  // namespace

CollectedSamples ImageSamples(const std::vector<Plane>& images, ColorFilterArray cfa, unsigned white_level) {
  std::vector<Block> blocks;
  for (const Plane& image : images) {
    if (cfa == ColorFilterArray::kMono) {
      AddBlocks(ColourView{image, 0, 0, 1}, white_level, blocks);
    } else {
      for (uint32_t colour = 0; colour < 4; ++colour) {
        AddBlocks(ColourView{image, colour % 2, colour / 2, 2}, white_level, blocks);
      }
    }
  }
  CollectedSamples collected;
  collected.mean_noise_factor = 1 / kBlockValues;
  // A block of pure noise gives three estimates that agree within their spread (relative
  // standard deviation about 0.3 for the surface against either residual); structure
  // shows in them differently and makes them disagree.
  const double spread = std::sqrt(2 / (kBlockValues - 1 - kTerms) + 2 / (kBlockValues * kIndependent));
  const double agree = 1 + 3 * spread;
  std::vector<const Block*> smooth;
  IntensityBins bins;
  for (const Block& block : blocks) {
    const double low = std::min({block.cross, block.diagonal, block.surface});
    const double high = std::max({block.cross, block.diagonal, block.surface});
    bins.Count(block.mean);
    if (!block.clipped && low > 0 && high <= agree * low) smooth.push_back(&block);
  }
  if (bins.Counted() == 0) return collected;
  bins.Cut(std::clamp<std::size_t>(smooth.size() / 40, 6, 32));

  std::vector<std::vector<const Block*>> in_bin(bins.size());
  std::vector<double> clipped(bins.size(), 0), all(bins.size(), 0);
  for (const Block& block : blocks) {
    const std::size_t index = bins.Index(block.mean);
    all[index] += 1;
    if (block.clipped) clipped[index] += 1;
  }
  for (const Block* block : smooth) in_bin[bins.Index(block->mean)].push_back(block);
  // Structure that slipped through (edges inflate all three estimates alike) only adds
  // variance, and a bin may hold more such blocks than smooth ones: its lower quartile,
  // divided by the quartile of a scaled chi-square of the blocks' degrees of freedom
  // (Wilson-Hilferty), estimates the noise as long as a quarter of its blocks are smooth.
  constexpr double kQuantile = 0.25;
  const double dof = kBlockValues - 1 - kTerms;
  const double z = -0.6744897501960817;  // standard normal quartile
  const double quartile_ratio = std::pow(1 - 2 / (9 * dof) + z * std::sqrt(2 / (9 * dof)), 3);
  // Standard error of a sample quartile, relative: sqrt(p(1 − p) / n) / density at the quartile.
  const double spread_one = std::sqrt(2 / dof);
  const double density = std::exp(-0.5 * z * z) / std::sqrt(2 * M_PI) / spread_one;
  for (std::size_t index = 0; index < in_bin.size(); ++index) {
    const auto& members = in_bin[index];
    if (members.size() < 8) continue;
    std::vector<double> estimates;
    double sum_mean = 0;
    for (const Block* block : members) {
      estimates.push_back(block->surface);
      sum_mean += block->mean;
    }
    std::sort(estimates.begin(), estimates.end());
    const double position = kQuantile * static_cast<double>(estimates.size() - 1);
    const std::size_t below = static_cast<std::size_t>(position);
    const double fraction = position - static_cast<double>(below);
    const double quartile =
        estimates[below] * (1 - fraction) + estimates[std::min(below + 1, estimates.size() - 1)] * fraction;
    const double n = static_cast<double>(members.size());
    BinnedVariance sample;
    sample.mean = sum_mean / n;
    sample.variance = quartile / quartile_ratio;
    sample.values = n * kBlockValues;
    const double relative_error = std::sqrt(kQuantile * (1 - kQuantile) / n) / density / quartile_ratio;
    sample.error = sample.variance * relative_error;
    sample.effective_count = 2 / (relative_error * relative_error);
    sample.clipped_fraction = all[index] > 0 ? clipped[index] / all[index] : 0;
    collected.values += static_cast<std::size_t>(sample.values);
    collected.bins.push_back(sample);
  }
  return collected;
}

}  // namespace Brimlake::Nivra::calibration
