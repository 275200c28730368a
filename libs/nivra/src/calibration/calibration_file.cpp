// A measured noise model as a calibration file of libnivra's form.
#include <json/json.h>

#include <cmath>

#include "nivra/calibration.hpp"

namespace Brimlake::Nivra::Calibration {
namespace {

// Six significant digits: enough for the model, short enough to read.
double Rounded(double value) {
  if (value == 0 || !std::isfinite(value)) return value;
  const double scale = std::pow(10.0, 5 - std::floor(std::log10(std::fabs(value))));
  return std::round(value * scale) / scale;
}

const char* UseName(VarianceSample::Use use) {
  switch (use) {
    case VarianceSample::Use::kFitted: return "fitted";
    case VarianceSample::Use::kClipped: return "clipped";
    case VarianceSample::Use::kOutlier: return "outlier";
  }
  return "";
}

}  // namespace

std::string CalibrationFileText(const NoiseModel& model, const std::string& identifier, const Provenance& provenance) {
  Json::Value camera(Json::objectValue);
  camera["identifier"] = identifier;
  camera["cfa"] = ColorFilterArrayName(model.cfa);
  // The stored values must reproduce the kept intercept: rounding the black level moves
  // sigma² − g·b, so sigma follows the rounded gain and black level.
  const double gain = Rounded(model.slope);
  const double black = Rounded(model.black_level);
  const double sigma2 = model.intercept + gain * black;
  camera["gain"] = gain;
  camera["black_level"] = black;
  camera["sigma"] = sigma2 > 0 ? std::floor(std::sqrt(sigma2) * 1e5) / 1e5 : 0.0;
  camera["white_level"] = model.white_level;

  Json::Value origin(Json::objectValue);
  for (const std::string& source : provenance.sources) origin["sources"].append(source);
  origin["tool"] = provenance.tool;
  origin["method"] = MethodName(model.method);
  origin["planes"] = static_cast<Json::UInt64>(model.planes);
  origin["values"] = static_cast<Json::UInt64>(model.values);
  origin["intensity_range"].append(Rounded(model.mean_low));
  origin["intensity_range"].append(Rounded(model.mean_high));
  origin["fit"]["slope"] = Rounded(model.fit_slope);
  origin["fit"]["intercept"] = Rounded(model.fit_intercept);
  origin["fit"]["relative_rms"] = Rounded(model.relative_rms);
  origin["fit"]["reduced_chi2"] = Rounded(model.reduced_chi2);
  origin["fit"]["kept_at_lower_bound_z"] = Rounded(model.z);
  origin["black_level_from"] = model.black_level_source;
  origin["white_level_from"] = model.white_level_source;
  for (const VarianceSample& sample : model.samples) {
    Json::Value point(Json::arrayValue);
    point.append(Rounded(sample.mean));
    point.append(Rounded(sample.variance));
    point.append(Rounded(sample.variance_error));
    point.append(UseName(sample.use));
    origin["samples"].append(point);
  }
  camera["provenance"] = origin;

  Json::Value root(Json::objectValue);
  root["format"] = "nivra-calibration";
  root["version"] = 1;
  root["cameras"].append(camera);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  writer["precision"] = 8;
  return Json::writeString(writer, root) + "\n";
}

}  // namespace Brimlake::Nivra::Calibration
