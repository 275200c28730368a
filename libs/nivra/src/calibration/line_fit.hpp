// A robust weighted straight-line fit of variance against mean.
#pragma once

#include <cstddef>
#include <vector>

namespace Brimlake::Nivra::calibration {

struct Point {
  double x;
  double y;
  double error;  // standard error of y, > 0
};

struct LineFit {
  double slope = 0;
  double intercept = 0;
  double cov_slope = 0, cov_slope_intercept = 0, cov_intercept = 0;
  double reduced_chi2 = 0;   // of the kept points against their own errors
  double relative_rms = 0;   // rms of (y − line) / line over the kept points
  std::vector<bool> outlier;  // per point: left out of the final fit
  bool ok = false;            // at least three points kept and a defined slope

  double At(double x) const { return slope * x + intercept; }
  double ErrorAt(double x) const;
};

// Huber-weighted least squares with the scatter scaled by its median; points further
// than four scaled errors from the line are left out and the rest fitted again. The
// covariance grows with the scatter when the points scatter more than their errors say.
LineFit FitLine(const std::vector<Point>& points);

// The same grown from the darkest bins upwards: the lowest third (at least five) is fitted
// first, then each brighter bin joins while it lies within four errors of the line so far;
// after two brighter bins in a row off the line, the rest are left out too. A few bright
// bins far away (moving or changing objects, which only add variance) would otherwise set
// the slope by their leverage alone.
LineFit FitLineFromBelow(const std::vector<Point>& points);

// Standard normal quantile.
double NormalQuantile(double p);

}  // namespace Brimlake::Nivra::calibration
