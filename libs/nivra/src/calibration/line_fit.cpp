#include "calibration/line_fit.hpp"

#include <algorithm>
#include <cmath>

namespace Brimlake::Nivra::calibration {
namespace {

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
  double upper = values[middle];
  if (values.size() % 2 == 1) return upper;
  return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)));
}

// Weighted least squares over the points with weight w > 0.
bool Solve(const std::vector<Point>& points, const std::vector<double>& weights, LineFit& fit) {
  double s = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  std::size_t used = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double w = weights[i];
    if (w <= 0) continue;
    ++used;
    s += w;
    sx += w * points[i].x;
    sy += w * points[i].y;
    sxx += w * points[i].x * points[i].x;
    sxy += w * points[i].x * points[i].y;
  }
  const double determinant = s * sxx - sx * sx;
  if (used < 3 || !(determinant > 0) || !std::isfinite(determinant)) return false;
  fit.slope = (s * sxy - sx * sy) / determinant;
  fit.intercept = (sxx * sy - sx * sxy) / determinant;
  fit.cov_slope = s / determinant;
  fit.cov_slope_intercept = -sx / determinant;
  fit.cov_intercept = sxx / determinant;
  return true;
}

}  // namespace

double LineFit::ErrorAt(double x) const {
  return std::sqrt(std::max(0.0, cov_slope * x * x + 2 * cov_slope_intercept * x + cov_intercept));
}

double NormalQuantile(double p) {
  // Bisection on the complementary error function: exact enough, and called rarely.
  double low = -10, high = 10;
  for (int i = 0; i < 200; ++i) {
    const double middle = 0.5 * (low + high);
    (0.5 * std::erfc(-middle / std::sqrt(2.0)) < p ? low : high) = middle;
  }
  return 0.5 * (low + high);
}

LineFit FitLine(const std::vector<Point>& points) {
  LineFit fit;
  fit.outlier.assign(points.size(), false);
  std::vector<double> weights(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) weights[i] = 1 / (points[i].error * points[i].error);
  if (!Solve(points, weights, fit)) return fit;

  auto standardized = [&](std::size_t i) { return (points[i].y - fit.At(points[i].x)) / points[i].error; };
  double scale = 1;
  for (int iteration = 0; iteration < 20; ++iteration) {
    std::vector<double> magnitudes;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!fit.outlier[i]) magnitudes.push_back(std::fabs(standardized(i)));
    }
    // Never narrower than the points' own errors.
    scale = std::max(1.0, 1.4826 * Median(magnitudes));
    bool changed = false;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const double t = std::fabs(standardized(i)) / scale;
      const bool outlier = t > 4;
      changed |= outlier != fit.outlier[i];
      fit.outlier[i] = outlier;
      const double huber = t <= 1.5 ? 1 : 1.5 / t;
      weights[i] = outlier ? 0 : huber / (points[i].error * points[i].error);
    }
    const double slope = fit.slope, intercept = fit.intercept;
    if (!Solve(points, weights, fit)) return fit;
    if (!changed && std::fabs(fit.slope - slope) <= 1e-9 * std::fabs(slope) + 1e-15 &&
        std::fabs(fit.intercept - intercept) <= 1e-9 * std::fabs(intercept) + 1e-12) {
      break;
    }
  }
  // Plain weights over the kept points for the final line and its covariance.
  for (std::size_t i = 0; i < points.size(); ++i) {
    weights[i] = fit.outlier[i] ? 0 : 1 / (points[i].error * points[i].error);
  }
  if (!Solve(points, weights, fit)) return fit;
  double chi2 = 0, relative = 0;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (fit.outlier[i]) continue;
    ++kept;
    const double t = standardized(i);
    chi2 += t * t;
    const double line = fit.At(points[i].x);
    const double r = line != 0 ? (points[i].y - line) / line : 0;
    relative += r * r;
  }
  fit.reduced_chi2 = kept > 2 ? chi2 / static_cast<double>(kept - 2) : 0;
  fit.relative_rms = kept > 0 ? std::sqrt(relative / static_cast<double>(kept)) : 0;
  const double inflate = std::max(1.0, fit.reduced_chi2);
  fit.cov_slope *= inflate;
  fit.cov_slope_intercept *= inflate;
  fit.cov_intercept *= inflate;
  fit.ok = kept >= 3;
  return fit;
}

LineFit FitLineFromBelow(const std::vector<Point>& points) {
  constexpr std::size_t kStart = 5;
  if (points.size() <= kStart) return FitLine(points);
  std::vector<std::size_t> order(points.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return points[a].x < points[b].x; });
  const std::size_t start = std::max(kStart, points.size() / 3);
  std::vector<bool> included(points.size(), false);
  auto fit_included = [&] {
    std::vector<Point> subset;
    std::vector<std::size_t> where;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (included[i]) {
        subset.push_back(points[i]);
        where.push_back(i);
      }
    }
    LineFit fit = FitLine(subset);
    std::vector<bool> outlier(points.size(), true);
    for (std::size_t k = 0; k < where.size(); ++k) outlier[where[k]] = fit.outlier.empty() ? false : fit.outlier[k];
    fit.outlier = outlier;
    return fit;
  };
  for (std::size_t k = 0; k < start; ++k) included[order[k]] = true;
  LineFit fit = fit_included();
  if (!fit.ok) return fit;
  for (std::size_t k = 0; k < start; ++k) included[order[k]] = !fit.outlier[order[k]];
  std::size_t misses = 0;
  for (std::size_t k = start; k < order.size() && misses < 2; ++k) {
    const Point& point = points[order[k]];
    const double scale = std::sqrt(std::max(1.0, fit.reduced_chi2));
    const double error = std::hypot(point.error, fit.ErrorAt(point.x)) * scale;
    if (std::fabs(point.y - fit.At(point.x)) > 4 * error) {
      ++misses;
      continue;
    }
    misses = 0;
    included[order[k]] = true;
    const LineFit grown = fit_included();
    if (grown.ok) fit = grown;
  }
  return fit_included();
}

}  // namespace Brimlake::Nivra::calibration
