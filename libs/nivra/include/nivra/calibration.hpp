// Measuring a sensor's noise model from its own images (a photon-transfer curve).
//
// Pixel values follow x = b + g·Poisson(λ) + N(0, σ²), so var(x) = g·E[x] + c with
// c = σ² − g·b. The estimator measures the slope g and the intercept c from stacks of
// frames of one field, from single images or with dark frames, and errs low: the model
// it returns lies on the lower confidence bound of the variance over the intensities it
// covers, because a noise model that is too large removes signal. Pure computation on
// pixel arrays; reading files and writing calibration files is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::Calibration {

// One plane of 16-bit pixels in host order, row after row; stride in pixels (0: width).
struct Plane {
  const uint16_t* pixels = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  std::size_t stride = 0;

  std::size_t Stride() const { return stride == 0 ? width : stride; }
  uint16_t At(uint32_t x, uint32_t y) const { return pixels[std::size_t{y} * Stride() + x]; }
};

// Frames of one field in time order (a time series, repeated exposures), all of one size.
using Stack = std::vector<Plane>;

enum class Method {
  kStack,        // differences of consecutive frames
  kSingleImage,  // local estimates on smooth regions of each image
};
NIVRA_API const char* MethodName(Method method);

struct EstimateOptions {
  // Mosaic of the images: local estimates then use neighbours of the same colour.
  ColorFilterArray cfa = ColorFilterArray::kMono;
  // The largest valid value; otherwise read from the data (saturation plateau, bits in use).
  std::optional<unsigned> white_level;
  // A black level known from the camera (file metadata); dark frames take precedence.
  std::optional<float> black_level;
  // Frames taken without light at the same settings: black level and read noise directly.
  std::vector<Plane> dark_frames;
  // One-sided confidence of the lower bound the model keeps to.
  double confidence = 0.95;
};

// Why data cannot support an estimate.
enum class Refusal {
  kInvalidInput,        // empty planes, frames of different sizes, bad options
  kTooFewSamples,       // not enough usable pixels or intensity bins
  kNarrowRange,         // intensities too close together to give a slope
  kSaturated,           // most of the data sits at the white level
  kVarianceNotGrowing,  // the variance does not grow with the mean
  kAlreadyPrepared,     // the images carry the embedded header of prepared data
  kCoarseGrid,          // 8-bit or processed data: values on a coarse grid
  kNotALine,            // the variance is not a line in the mean (processed data, mixed sources)
};
NIVRA_API const char* RefusalName(Refusal refusal);

class NIVRA_API EstimateRefused : public NivraError {
 public:
  EstimateRefused(Refusal refusal, const std::string& reason);
  Refusal refusal() const noexcept { return refusal_; }

 private:
  Refusal refusal_;
};

// One point of the photon-transfer curve: the variance of the pixels of one intensity bin.
struct VarianceSample {
  enum class Use { kFitted, kClipped, kOutlier };
  double mean = 0;            // mean intensity of the bin, digital numbers
  double variance = 0;        // noise variance measured in the bin
  double variance_error = 0;  // its standard error
  std::size_t count = 0;      // independent-equivalent number of values behind it
  Use use = Use::kFitted;     // left out: near the clipping limits, or an outlier of the fit
};

struct NIVRA_API NoiseModel {
  Method method = Method::kStack;
  // The model kept: the lower confidence bound of the variance over [mean_low, mean_high].
  double slope = 0;      // g, digital numbers per electron
  double intercept = 0;  // c = sigma² − g·black_level
  // The central fit and its covariance (variance units), for the band drawn around it.
  double fit_slope = 0;
  double fit_intercept = 0;
  double cov_slope = 0, cov_slope_intercept = 0, cov_intercept = 0;
  double z = 0;  // quantile of the one-sided bound
  ColorFilterArray cfa = ColorFilterArray::kMono;
  // The split of the intercept the calibration file stores, and why it was chosen.
  float black_level = 0;
  float sigma = 0;
  unsigned white_level = 65535;
  std::string black_level_source;
  std::string white_level_source;
  // What the model is based on.
  double mean_low = 0, mean_high = 0;  // intensity range covered by the fitted samples
  double relative_rms = 0;             // rms of the fitted samples' relative residuals
  double reduced_chi2 = 0;             // scatter against the samples' own errors
  std::size_t planes = 0;
  std::size_t values = 0;  // pixel values (or differences) behind the fitted samples
  std::vector<VarianceSample> samples;

  // Noise variance and standard deviation the kept model gives at a mean intensity.
  double Variance(double mean) const { return slope * mean + intercept; }
  double NoiseSd(double mean) const;
  // The central fit's confidence band at `mean`, z standard errors wide on each side.
  double FitVariance(double mean) const { return fit_slope * mean + fit_intercept; }
  double FitError(double mean) const;
  ExtendedAnscombeParameters Parameters() const;
  // One paragraph for people: the model, its source, the range and the fit quality.
  std::string Describe() const;
};

// Differences of consecutive frames (second differences from three frames on, which
// cancel slow drift and bleaching) binned by intensity over every stack.
NIVRA_API NoiseModel EstimateFromStacks(const std::vector<Stack>& stacks, const EstimateOptions& options = {});
// Local residuals of smooth blocks binned by intensity over every image.
NIVRA_API NoiseModel EstimateFromImages(const std::vector<Plane>& images, const EstimateOptions& options = {});
// The stack method when any stack holds two frames or more, else the single-image method.
NIVRA_API NoiseModel Estimate(const std::vector<Stack>& stacks, const EstimateOptions& options = {});

// Where a calibration came from, recorded in its file.
struct Provenance {
  std::vector<std::string> sources;  // file names, or a caller's description of the arrays
  std::string tool;                  // what wrote the file
};

// The calibration file (libnivra's form, README › Calibration files) holding this one model
// under `identifier`, with a "provenance" object the loader ignores: sources, method, fit
// quality, the intensity range covered.
NIVRA_API std::string CalibrationFileText(const NoiseModel& model, const std::string& identifier,
                                          const Provenance& provenance);

}  // namespace Brimlake::Nivra::Calibration
