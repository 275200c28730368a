// From measured points of the photon-transfer curve to the noise model kept, with the
// refusals that keep a wrong model from being written.
#include <algorithm>
#include <cmath>

#include "calibration/data_checks.hpp"
#include "calibration/line_fit.hpp"
#include "calibration/number_text.hpp"
#include "calibration/variance_samples.hpp"
#include "nivra/calibration.hpp"

namespace Brimlake::Nivra::Calibration {

using namespace calibration;

namespace {

// Below these the slope and intercept are not pinned down.
constexpr std::size_t kMinimumValues = 4000;
constexpr std::size_t kMinimumBins = 5;
// A bin in which this fraction of values touched 0 or the white level is biased low.
constexpr double kClippedBin = 0.005;
// The range of means must exceed the spread the noise alone gives them this many times.
constexpr double kRangeOverNoise = 10;
constexpr double kNotALineRms = 0.15;

[[noreturn]] void Refuse(Refusal refusal, const std::string& why) { throw EstimateRefused(refusal, why); }

std::vector<Plane> AllPlanes(const std::vector<Stack>& stacks) {
  std::vector<Plane> planes;
  for (const Stack& stack : stacks) planes.insert(planes.end(), stack.begin(), stack.end());
  return planes;
}

void CheckInput(const std::vector<Stack>& stacks, const EstimateOptions& options) {
  if (!(options.confidence >= 0.5 && options.confidence < 1)) {
    Refuse(Refusal::kInvalidInput, "the confidence must lie in [0.5, 1)");
  }
  if (options.white_level && (*options.white_level < 1 || *options.white_level > 65535)) {
    Refuse(Refusal::kInvalidInput, "the white level must lie in 1..65535");
  }
  bool any = false;
  for (const Stack& stack : stacks) {
    for (const Plane& plane : stack) {
      if (plane.pixels == nullptr || plane.width == 0 || plane.height == 0 || plane.Stride() < plane.width) {
        Refuse(Refusal::kInvalidInput, "an image is empty or its row stride is shorter than its width");
      }
      if (plane.width != stack.front().width || plane.height != stack.front().height) {
        Refuse(Refusal::kInvalidInput, "the frames of a stack differ in size");
      }
      any = true;
    }
  }
  if (!any) Refuse(Refusal::kTooFewSamples, "no images given");
}

struct Prepared {
  ValueHistogram histogram;
  unsigned white = 65535;
  std::string white_source;
};

Prepared CheckValues(const std::vector<Plane>& planes, const EstimateOptions& options) {
  RefusePrepared(planes);
  Prepared prepared;
  for (const Plane& plane : planes) prepared.histogram.Add(plane);
  RefuseCoarseGrid(prepared.histogram);
  const auto distinct = std::count_if(prepared.histogram.counts.begin(), prepared.histogram.counts.end(),
                                      [](uint64_t count) { return count != 0; });
  if (distinct < 16) {
    Refuse(Refusal::kNarrowRange, "the images hold only " + std::to_string(distinct) +
                                      " distinct values: no noise to measure (a constant or synthetic image)");
  }
  if (options.white_level) {
    prepared.white = *options.white_level;
    prepared.white_source = "given";
  } else {
    const WhiteLevel white = FindWhiteLevel(prepared.histogram);
    prepared.white = white.value;
    prepared.white_source = white.source;
  }
  uint64_t at_white = 0;
  for (unsigned value = prepared.white; value < 65536; ++value) at_white += prepared.histogram.counts[value];
  if (static_cast<double>(at_white) > 0.5 * static_cast<double>(prepared.histogram.total)) {
    Refuse(Refusal::kSaturated, Num(100.0 * static_cast<double>(at_white) / static_cast<double>(prepared.histogram.total), 3) +
                                    "% of the values are at or above the white level " + std::to_string(prepared.white) +
                                    ": the images are saturated");
  }
  return prepared;
}

// Black level and read noise from frames taken without light.
BinnedVariance DarkPoint(const std::vector<Plane>& dark, const EstimateOptions& options, unsigned white) {
  bool same_size = dark.size() >= 2;
  for (const Plane& plane : dark) same_size &= plane.width == dark.front().width && plane.height == dark.front().height;
  const CollectedSamples collected =
      same_size ? StackSamples({dark}, white) : ImageSamples(dark, options.cfa, white);
  BinnedVariance point;
  for (const BinnedVariance& bin : collected.bins) {
    point.mean += bin.mean * bin.values;
    point.variance += bin.variance * bin.values;
    point.values += bin.values;
    point.effective_count += bin.effective_count;
  }
  if (point.values < 1000) Refuse(Refusal::kTooFewSamples, "the dark frames hold too few usable values");
  point.mean /= point.values;
  point.variance /= point.values;
  point.error = point.variance * std::sqrt(2 / point.effective_count);
  return point;
}

NoiseModel FromSamples(Method method, const CollectedSamples& collected, const Prepared& prepared,
                       const std::vector<Plane>& planes, const EstimateOptions& options) {
  NoiseModel model;
  model.method = method;
  model.cfa = options.cfa;
  model.planes = planes.size();
  model.white_level = prepared.white;
  model.white_level_source = prepared.white_source;
  model.z = NormalQuantile(options.confidence);

  std::vector<BinnedVariance> bins = collected.bins;
  std::optional<BinnedVariance> dark;
  if (!options.dark_frames.empty()) {
    RefusePrepared(options.dark_frames);
    dark = DarkPoint(options.dark_frames, options, prepared.white);
  }
  std::vector<Point> points;
  std::vector<std::size_t> point_bin;
  std::size_t clipped_bins = 0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const BinnedVariance& bin = bins[i];
    VarianceSample sample{bin.mean, bin.variance, bin.error, static_cast<std::size_t>(bin.effective_count),
                          VarianceSample::Use::kFitted};
    if (bin.clipped_fraction > kClippedBin) {
      sample.use = VarianceSample::Use::kClipped;
      ++clipped_bins;
    } else {
      points.push_back({bin.mean, bin.variance, std::max(bin.error, 1e-9 + 1e-6 * bin.variance)});
      point_bin.push_back(model.samples.size());
      model.values += static_cast<std::size_t>(bin.values);
    }
    model.samples.push_back(sample);
  }
  if (model.values < kMinimumValues || points.size() < kMinimumBins) {
    if (clipped_bins > 0 && points.size() < kMinimumBins) {
      Refuse(Refusal::kSaturated, std::to_string(clipped_bins) + " of " + std::to_string(bins.size()) +
                                      " intensity bins touch 0 or the white level " + std::to_string(prepared.white) +
                                      "; too few unclipped intensities remain");
    }
    Refuse(Refusal::kTooFewSamples,
           "too few samples: " + std::to_string(model.values) + " usable values in " + std::to_string(points.size()) +
               " intensity bins (need " + std::to_string(kMinimumValues) + " in " + std::to_string(kMinimumBins) +
               ")" + (method == Method::kSingleImage ? "; the images hold few smooth regions" : ""));
  }
  if (dark) {
    points.push_back({dark->mean, dark->variance, std::max(dark->error, 1e-9 + 1e-6 * dark->variance)});
    point_bin.push_back(model.samples.size());
    model.samples.push_back({dark->mean, dark->variance, dark->error, static_cast<std::size_t>(dark->effective_count),
                             VarianceSample::Use::kFitted});
  }

  LineFit fit = FitLineFromBelow(points);
  // One or two bins far from all others would set the slope alone: they are left out
  // (the dark frames' point is measured, not a stray bin, and stays).
  if (fit.ok && !dark) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!fit.outlier[i]) order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return points[a].x < points[b].x; });
    const double span = points[order.back()].x - points[order.front()].x;
    for (std::size_t k = 1; k < order.size() && span > 0; ++k) {
      if (points[order[k]].x - points[order[k - 1]].x <= 0.5 * span) continue;
      const bool drop_upper = order.size() - k <= 2, drop_lower = k <= 2;
      if (drop_upper == drop_lower) break;
      std::vector<Point> kept;
      std::vector<std::size_t> kept_bin;
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (fit.outlier[i]) model.samples[point_bin[i]].use = VarianceSample::Use::kOutlier;
      }
      for (std::size_t j = 0; j < order.size(); ++j) {
        if ((drop_upper && j >= k) || (drop_lower && j < k)) {
          model.samples[point_bin[order[j]]].use = VarianceSample::Use::kOutlier;
        }
      }
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (model.samples[point_bin[i]].use == VarianceSample::Use::kOutlier) continue;
        kept.push_back(points[i]);
        kept_bin.push_back(point_bin[i]);
      }
      points = std::move(kept);
      point_bin = std::move(kept_bin);
      fit = FitLineFromBelow(points);
      break;
    }
  }
  std::size_t outliers = 0;
  for (const VarianceSample& sample : model.samples) outliers += sample.use == VarianceSample::Use::kOutlier;
  const std::size_t candidates = outliers + points.size();
  double low = 0, high = 0;
  bool first = true;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (fit.outlier[i]) {
      model.samples[point_bin[i]].use = VarianceSample::Use::kOutlier;
      ++outliers;
      continue;
    }
    low = first ? points[i].x : std::min(low, points[i].x);
    high = first ? points[i].x : std::max(high, points[i].x);
    first = false;
  }
  if (!fit.ok) Refuse(Refusal::kTooFewSamples, "too few intensity bins remain for a line");
  model.fit_slope = fit.slope;
  model.fit_intercept = fit.intercept;
  model.cov_slope = fit.cov_slope;
  model.cov_slope_intercept = fit.cov_slope_intercept;
  model.cov_intercept = fit.cov_intercept;
  model.relative_rms = fit.relative_rms;
  model.reduced_chi2 = fit.reduced_chi2;
  model.mean_low = low;
  model.mean_high = high;

  const double middle_variance = std::max(fit.At(0.5 * (low + high)), 0.0);
  const double mean_noise = std::sqrt(middle_variance * collected.mean_noise_factor);
  if (high - low < kRangeOverNoise * mean_noise || high - low < 2) {
    Refuse(Refusal::kNarrowRange, "the intensities span only " + Num(low, 6) + " to " + Num(high, 6) +
                                      ", too narrow a range to measure how the noise grows; use images with dark "
                                      "and bright parts (or frames at several exposures)");
  }
  if (3 * outliers > candidates || fit.relative_rms > kNotALineRms) {
    Refuse(Refusal::kNotALine, "the variance is not a line in the mean (" + std::to_string(outliers) + " of " +
                                   std::to_string(candidates) + " intensity bins off the line, rms deviation " +
                                   Num(100 * fit.relative_rms, 3) +
                                   "%): processed data (a tone curve, denoising) or images of several sensors");
  }
  const double slope_error = std::sqrt(fit.cov_slope);
  if (!(fit.slope > 3 * slope_error) || !(fit.slope > 0)) {
    Refuse(Refusal::kVarianceNotGrowing, "the variance does not grow with the mean (slope " + Num(fit.slope) + " ± " +
                                             Num(slope_error, 2) +
                                             " per digital number): not raw sensor data, or a scene that changed "
                                             "between frames");
  }
  // The kept line joins the lower confidence bound at both ends of the range; the bound
  // is concave in the mean, so the line stays under it over the whole range.
  const double low_bound = fit.At(low) - model.z * fit.ErrorAt(low);
  const double high_bound = fit.At(high) - model.z * fit.ErrorAt(high);
  model.slope = (high_bound - low_bound) / (high - low);
  model.intercept = low_bound - model.slope * low;
  if (!(model.slope > 0)) {
    Refuse(Refusal::kVarianceNotGrowing, "the lower confidence bound of the variance does not grow with the mean");
  }

  // Only g and c matter to the noise replacement; the split of c into black level and
  // read noise follows the dark frames, the camera's own black level or the darkest data.
  double black;
  if (dark) {
    black = dark->mean;
    model.black_level_source = "the dark frames";
  } else if (options.black_level) {
    black = *options.black_level;
    model.black_level_source = "given";
  } else {
    black = prepared.histogram.Quantile(0.001);
    model.black_level_source = "the darkest data (0.1th percentile of the values)";
  }
  double sigma2 = model.intercept + model.slope * black;
  if (sigma2 < 0 && options.black_level && !dark) {
    // Preparing falls back to a camera's own black level when the calibration's differs by
    // more than a fifth, so the black level stays. Its variance is σ² ≥ 0, so the line from
    // zero there to the bound at the top of the range stays under the true line over the range.
    if (!(high > black)) {
      Refuse(Refusal::kNotALine, "the camera's black level " + Num(black, 6) +
                                     " lies above the intensities measured: the images do not follow it");
    }
    const double top = model.Variance(high);
    model.slope = top / (high - black);
    model.intercept = -model.slope * black;
    sigma2 = 0;
    model.black_level_source += "; read noise 0 within the confidence bound";
  } else if (sigma2 < 0) {
    black = -model.intercept / model.slope;
    sigma2 = 0;
    model.black_level_source += ", raised so that the read noise is not negative";
  }
  if (!(black >= 0) || black >= prepared.white) {
    Refuse(Refusal::kVarianceNotGrowing, "the fitted line gives no black level inside 0.." +
                                             std::to_string(prepared.white) + " (intercept " + Num(model.intercept) +
                                             ")");
  }
  model.black_level = static_cast<float>(black);
  model.sigma = static_cast<float>(std::sqrt(sigma2));
  return model;
}

}  // namespace

const char* MethodName(Method method) {
  return method == Method::kStack ? "stack (differences of consecutive frames)"
                                  : "single image (local estimates on smooth regions)";
}

const char* RefusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::kInvalidInput: return "invalid input";
    case Refusal::kTooFewSamples: return "too few samples";
    case Refusal::kNarrowRange: return "narrow intensity range";
    case Refusal::kSaturated: return "saturated";
    case Refusal::kVarianceNotGrowing: return "variance not growing with the mean";
    case Refusal::kAlreadyPrepared: return "already prepared";
    case Refusal::kCoarseGrid: return "coarse grid";
    case Refusal::kNotALine: return "not a line";
  }
  return "refused";
}

EstimateRefused::EstimateRefused(Refusal refusal, const std::string& reason)
    : NivraError(BM_INCOMPATIBLE_IMAGE, "cannot estimate the noise model: " + reason), refusal_(refusal) {}

double NoiseModel::NoiseSd(double mean) const { return std::sqrt(std::max(0.0, Variance(mean))); }

double NoiseModel::FitError(double mean) const {
  return std::sqrt(std::max(0.0, cov_slope * mean * mean + 2 * cov_slope_intercept * mean + cov_intercept));
}

ExtendedAnscombeParameters NoiseModel::Parameters() const {
  return ExtendedAnscombeParameters(static_cast<float>(slope), black_level, sigma, white_level);
}

std::string NoiseModel::Describe() const {
  std::size_t fitted = 0;
  for (const VarianceSample& sample : samples) fitted += sample.use == VarianceSample::Use::kFitted;
  return "gain " + Num(slope) + " DN/e-, black level " + Num(black_level, 6) + " (from " + black_level_source +
         "), read noise " + Num(sigma) + " DN, white level " + std::to_string(white_level) + " (from " +
         white_level_source + ")\nmethod: " + MethodName(method) + ", " + std::to_string(planes) + " planes, " +
         std::to_string(values) + " values; fit over intensities " + Num(mean_low, 6) + " to " + Num(mean_high, 6) +
         ": variance = " + Num(fit_slope) + " x mean + " + Num(fit_intercept) + ", " + std::to_string(fitted) + " of " +
         std::to_string(samples.size()) + " bins fitted, rms deviation " + Num(100 * relative_rms, 3) +
         "%, reduced chi2 " + Num(reduced_chi2, 3) + "; kept at the " + Num(100 * (0.5 * std::erfc(-z / std::sqrt(2.0))), 3) +
         "% lower bound: variance = " + Num(slope) + " x mean + " + Num(intercept);
}

NoiseModel EstimateFromStacks(const std::vector<Stack>& stacks, const EstimateOptions& options) {
  CheckInput(stacks, options);
  const std::vector<Plane> planes = AllPlanes(stacks);
  const Prepared prepared = CheckValues(planes, options);
  bool any = false;
  for (const Stack& stack : stacks) any |= stack.size() >= 2;
  if (!any) Refuse(Refusal::kTooFewSamples, "the stack method needs two frames or more of one field");
  return FromSamples(Method::kStack, StackSamples(stacks, prepared.white), prepared, planes, options);
}

NoiseModel EstimateFromImages(const std::vector<Plane>& images, const EstimateOptions& options) {
  std::vector<Stack> stacks;
  for (const Plane& image : images) stacks.push_back({image});
  CheckInput(stacks, options);
  const Prepared prepared = CheckValues(images, options);
  return FromSamples(Method::kSingleImage, ImageSamples(images, options.cfa, prepared.white), prepared, images,
                     options);
}

NoiseModel Estimate(const std::vector<Stack>& stacks, const EstimateOptions& options) {
  for (const Stack& stack : stacks) {
    if (stack.size() >= 2) return EstimateFromStacks(stacks, options);
  }
  return EstimateFromImages(AllPlanes(stacks), options);
}

}  // namespace Brimlake::Nivra::Calibration
