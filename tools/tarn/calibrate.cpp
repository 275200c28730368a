#include "calibrate.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "image_planes.hpp"
#include "nivra/calibration.hpp"
#include "nivra/nivra.h"
#include "nivra/nivra.hpp"
#include "units.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;
namespace nv = Brimlake::Nivra;
namespace cal = Brimlake::Nivra::Calibration;

// Planes coded to tell the ratio prepare would reach; enough to be representative.
constexpr std::size_t kRatioPlanes = 64;
// Pixels read from all files together (1 GiB of planes): far more than a model needs.
constexpr std::size_t kMaxPixels = std::size_t{1} << 29;

struct Failure {
  std::string message;
};

// A file name that stands for the identifier: letters, digits, '.', '-' and '_' only.
std::string FileNameFor(const std::string& identifier) {
  std::string name;
  for (unsigned char c : identifier) name += std::isalnum(c) || c == '.' || c == '-' || c == '_' ? static_cast<char>(c) : '_';
  if (name.empty() || name.front() == '.') name.insert(name.begin(), '_');
  return name + ".json";
}

std::vector<ImagePlane> ReadAll(const std::vector<std::string>& paths, std::size_t& skipped, Console& console) {
  std::vector<ImagePlane> planes;
  std::size_t pixels = 0;
  for (const std::string& path : paths) {
    FilePlanes found;
    try {
      found = ReadImagePlanes(path, kMaxPixels - std::min(pixels, kMaxPixels));
    } catch (const std::exception& error) {
      throw Failure{fmt::format("{}: {}", path, error.what())};
    }
    skipped += found.skipped;
    for (const ImagePlane& plane : found.planes) pixels += plane.pixels.size();
    if (found.truncated) {
      console.Err(fmt::format("tarn: calibrate: {}: only the planes up to {} pixels in all are used", path, kMaxPixels));
    }
    for (ImagePlane& plane : found.planes) planes.push_back(std::move(plane));
  }
  return planes;
}

// The one value every plane agrees on, or nothing.
template <class Get>
auto Common(const std::vector<ImagePlane>& planes, Get get) -> decltype(get(planes.front())) {
  decltype(get(planes.front())) value = get(planes.front());
  for (const ImagePlane& plane : planes) {
    if (get(plane) != value) return {};
  }
  return value;
}

struct Ratios {
  uint64_t raw = 0, lossless = 0, prepared = 0;
  std::size_t planes = 0;
};

uint64_t EncodedSize(const std::vector<uint16_t>& pixels, uint32_t width, uint32_t height) {
  std::vector<uint8_t> stream(pixels.size() * 2 + 65536);
  int32_t length = static_cast<int32_t>(std::min<std::size_t>(stream.size(), INT32_MAX));
  const bm_status status = nivra_encode(pixels.data(), static_cast<int32_t>(width), static_cast<int32_t>(height),
                                        stream.data(), &length);
  // A plane the codec does not take would be stored as it is.
  return status == BM_OK ? static_cast<uint64_t>(length) : pixels.size() * 2;
}

// Lossless coding against preparing at error bound 1 with the model, then coding.
Ratios MeasureRatios(const std::vector<ImagePlane>& planes, const cal::NoiseModel& model) {
  Ratios ratios;
  auto parameters = std::make_shared<nv::ExtendedAnscombeParameters>(model.Parameters());
  for (const ImagePlane& plane : planes) {
    if (ratios.planes == kRatioPlanes) break;
    if (plane.pixels.size() < 64) continue;
    ++ratios.planes;
    ratios.raw += plane.pixels.size() * 2;
    ratios.lossless += EncodedSize(plane.pixels, plane.width, plane.height);
    std::vector<uint16_t> prepared = plane.pixels;
    const uint64_t seed = 0x5eed + ratios.planes;
    nv::replace_noise(prepared.data(), prepared.size(), *parameters, 1.0f, seed);
    if (model.cfa == nv::ColorFilterArray::kMono) {
      nv::MonochromeHeader(seed, 1.0f, parameters).Embed(prepared);
    } else {
      nv::ColorHeader(seed, 1.0f, model.cfa, parameters).Embed(prepared);
    }
    ratios.prepared += EncodedSize(prepared, plane.width, plane.height);
  }
  return ratios;
}

// The 99.9th percentile of every plane's values.
double BrightValue(const std::vector<ImagePlane>& planes) {
  std::vector<uint64_t> histogram(65536, 0);
  uint64_t total = 0;
  for (const ImagePlane& plane : planes) {
    for (uint16_t value : plane.pixels) ++histogram[value];
    total += plane.pixels.size();
  }
  uint64_t seen = 0;
  for (std::size_t value = 0; value < histogram.size(); ++value) {
    seen += histogram[value];
    if (static_cast<double>(seen) >= 0.999 * static_cast<double>(total)) return static_cast<double>(value);
  }
  return 65535;
}

std::string Ratio(uint64_t raw, uint64_t coded) {
  return coded == 0 ? "-" : fmt::format("{:.2f}:1", static_cast<double>(raw) / static_cast<double>(coded));
}

// Written beside the destination and renamed over it, so that no half file is ever left.
void WriteCalibration(const fs::path& destination, const std::string& text, bool force) {
  std::error_code error;
  if (!destination.parent_path().empty()) {
    fs::create_directories(destination.parent_path(), error);
    if (error) {
      throw Failure{fmt::format("cannot create folder {}: {}", destination.parent_path().string(), error.message())};
    }
  }
  if (!force && fs::exists(fs::symlink_status(destination, error))) {
    throw Failure{fmt::format("{} already exists; use -f to replace it", destination.string())};
  }
  const fs::path temporary = destination.string() + fmt::format(".{}.partial", getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      fs::remove(temporary, error);
      throw Failure{fmt::format("cannot write {}", temporary.string())};
    }
  }
  fs::rename(temporary, destination, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw Failure{fmt::format("cannot write {}: {}", destination.string(), error.message())};
  }
}

void PrintModel(const cal::NoiseModel& model, const std::string& identifier, std::size_t files,
                const Ratios& ratios, Console& console) {
  std::size_t fitted = 0;
  for (const auto& sample : model.samples) fitted += sample.use == cal::VarianceSample::Use::kFitted;
  console.Out(fmt::format("calibration {} from {} of {} ({})", identifier, Count(model.planes, "plane"),
                          Count(files, "file"), cal::MethodName(model.method)));
  console.Out(fmt::format("  gain         {:.4g} DN/e-", model.slope));
  console.Out(fmt::format("  black level  {:.6g} DN (from {})", model.black_level, model.black_level_source));
  console.Out(fmt::format("  read noise   {:.4g} DN", model.sigma));
  console.Out(fmt::format("  white level  {} (from {})", model.white_level, model.white_level_source));
  console.Out(fmt::format("  fit          variance = {:.4g} x mean {:+.4g} over intensities {:.6g} to {:.6g}; "
                          "{} of {} bins fitted, rms deviation {:.2f}%, reduced chi2 {:.3g}",
                          model.fit_slope, model.fit_intercept, model.mean_low, model.mean_high, fitted,
                          model.samples.size(), 100 * model.relative_rms, model.reduced_chi2));
  console.Out(fmt::format("  kept         lower bound ({:.3g} standard errors): variance = {:.4g} x mean {:+.4g}; noise "
                          "{:.4g} DN at {:.6g}, {:.4g} DN at {:.6g}",
                          model.z, model.slope, model.intercept, model.NoiseSd(model.mean_low), model.mean_low,
                          model.NoiseSd(model.mean_high), model.mean_high));
  console.Out(fmt::format("  ratio        --prepare at error bound 1: {}, lossless: {} (Nivra, on {}, {})",
                          Ratio(ratios.raw, ratios.prepared), Ratio(ratios.raw, ratios.lossless),
                          Count(ratios.planes, "plane"), HumanSize(ratios.raw)));
}

int Calibrate(const Arguments& arguments, Console& console) {
  std::size_t skipped = 0;
  const std::vector<ImagePlane> planes = ReadAll(arguments.files, skipped, console);
  if (planes.empty()) {
    throw Failure{fmt::format("no uncompressed 16-bit image planes found{}", skipped == 0 ? std::string()
                                                                                       : fmt::format(
                                                                                             " ({} other image chunks: "
                                                                                             "8-bit, compressed or "
                                                                                             "coded)",
                                                                                             skipped))};
  }
  std::string identifier;
  if (arguments.calibration_name) {
    identifier = *arguments.calibration_name;
  } else if (const auto common = Common(planes, [](const ImagePlane& p) { return p.identifier; })) {
    identifier = *common;
  } else {
    throw Failure{"the files name no camera (make, model and ISO) to take the identifier from: give --id NAME"};
  }
  if (identifier.empty()) throw Failure{"the identifier must not be empty"};
  const fs::path destination = arguments.output ? fs::path(*arguments.output)
                                                : fs::path(nv::Util::config_data_dir()) / FileNameFor(identifier);
  if (destination.empty() || (!arguments.output && nv::Util::config_data_dir().empty())) {
    throw Failure{"no user calibration folder (neither XDG_CONFIG_HOME nor HOME is set): give -o FILE"};
  }
  std::error_code error;
  if (!arguments.force && fs::exists(fs::symlink_status(destination, error))) {
    throw Failure{fmt::format("{} already exists; use -f to replace it", destination.string())};
  }

  cal::EstimateOptions options;
  options.cfa = Common(planes, [](const ImagePlane& p) { return p.cfa; }).value_or(nv::ColorFilterArray::kMono);
  options.black_level = Common(planes, [](const ImagePlane& p) { return p.black_level; });
  if (const auto white = Common(planes, [](const ImagePlane& p) { return p.white_level; })) {
    if (*white >= 1 && *white <= 65535) options.white_level = *white;
  }
  std::size_t dark_skipped = 0;
  const std::vector<ImagePlane> dark = ReadAll(arguments.dark_frames, dark_skipped, console);
  for (const ImagePlane& plane : dark) options.dark_frames.push_back(plane.View());
  if (!arguments.dark_frames.empty() && dark.empty()) throw Failure{"the dark frames hold no 16-bit image planes"};

  cal::NoiseModel model;
  try {
    if (arguments.single_image) {
      std::vector<cal::Plane> images;
      for (const ImagePlane& plane : planes) images.push_back(plane.View());
      model = cal::EstimateFromImages(images, options);
    } else {
      model = cal::Estimate(GroupIntoStacks(planes), options);
    }
  } catch (const cal::EstimateRefused& refused) {
    throw Failure{std::string(refused.what()) + "; no calibration written"};
  }
  const Ratios ratios = MeasureRatios(planes, model);
  PrintModel(model, identifier, arguments.files.size(), ratios, console);
  if (options.dark_frames.empty() && !options.black_level) {
    console.Out("  note         without dark frames (--dark) only the gain and the intercept are measured; the "
                "black level and read noise above are one split of it, which preparing does not depend on");
  }
  const double bright = BrightValue(planes);
  if (bright > model.mean_high * 1.5) {
    console.Out(fmt::format("  note         the images reach {:.6g} (99.9th percentile), beyond the intensities measured; "
                            "the model is extrapolated there",
                            bright));
  }

  cal::Provenance provenance;
  for (const std::string& path : arguments.files) provenance.sources.push_back(fs::path(path).filename().string());
  for (const std::string& path : arguments.dark_frames) {
    provenance.sources.push_back("dark: " + fs::path(path).filename().string());
  }
  provenance.tool = "tarn calibrate";
  WriteCalibration(destination, cal::CalibrationFileText(model, identifier, provenance), arguments.force);
  console.Err(fmt::format("tarn: wrote calibration {} to {}", identifier, destination.string()));
  if (!arguments.output) {
    console.Err(fmt::format("tarn: every tarn command loads it from there; prepare with --calibration-id {}", identifier));
  } else {
    console.Err(fmt::format("tarn: load it with --calibration {} and prepare with --calibration-id {}",
                            destination.string(), identifier));
  }
  return 0;
}

}  // namespace

int RunCalibrate(const Arguments& arguments, Console& console) {
  try {
    return Calibrate(arguments, console);
  } catch (const Failure& failure) {
    console.Err("tarn: calibrate: " + failure.message);
  } catch (const std::exception& error) {
    console.Err(std::string("tarn: calibrate: ") + error.what());
  }
  return 1;
}

}  // namespace tarn::cli
