// The noise-model estimator of libnivra on NumPy arrays and on the planes Tarn's readers
// find in files; the pure-Python module tarn.calibration wraps it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "image_planes.hpp"
#include "nivra/calibration.hpp"

namespace tarn_python {
namespace {

namespace nv = Brimlake::Nivra;
namespace cal = Brimlake::Nivra::Calibration;

// The arrays and the file planes behind the views the estimator gets; kept alive while it runs.
struct Inputs {
  std::vector<py::array> arrays;
  std::vector<tarn::cli::ImagePlane> file_planes;
  std::vector<cal::Stack> stacks;
  std::optional<std::string> identifier;  // the camera the files name, when they all name one
  bool identifier_mixed = false;
  std::optional<nv::ColorFilterArray> cfa;
  std::optional<float> black_level;
  std::optional<uint32_t> white_level;
};

cal::Plane View(py::handle object, Inputs& inputs) {
  auto array = py::array::ensure(object, py::array::c_style);
  if (!array || !array.dtype().equal(py::dtype::of<uint16_t>()) || array.ndim() != 2) {
    throw py::value_error("images must be 2-D numpy arrays of uint16 (frames of a stack: a 3-D array or a list)");
  }
  if (array.shape(0) <= 0 || array.shape(1) <= 0 || array.shape(0) > 65535 || array.shape(1) > 65535) {
    throw py::value_error("images must be 1 to 65535 pixels high and wide");
  }
  inputs.arrays.push_back(array);
  return {static_cast<const uint16_t*>(array.data()), static_cast<uint32_t>(array.shape(1)),
          static_cast<uint32_t>(array.shape(0)), 0};
}

// stacks: list of items, each a 2-D array (one image), a 3-D array or a list of 2-D arrays
// (frames of one field) or a path (every 16-bit plane Tarn's readers find).
Inputs Gather(const py::list& items) {
  Inputs inputs;
  std::vector<tarn::cli::ImagePlane> planes;
  bool first_file = true;
  for (py::handle item : items) {
    if (py::isinstance<py::str>(item) || py::hasattr(item, "__fspath__")) {
      const std::string path = py::str(py::module_::import("os").attr("fsdecode")(item));
      tarn::cli::FilePlanes found;
      {
        py::gil_scoped_release unlocked;
        found = tarn::cli::ReadImagePlanes(path);
      }
      if (found.planes.empty()) throw py::value_error(path + " holds no uncompressed 16-bit image planes");
      for (auto& plane : found.planes) {
        if (first_file) {
          inputs.identifier = plane.identifier;
          inputs.cfa = plane.cfa;
          inputs.black_level = plane.black_level;
          inputs.white_level = plane.white_level;
          first_file = false;
        } else {
          if (plane.identifier != inputs.identifier) inputs.identifier_mixed = true;
          if (plane.cfa != inputs.cfa) inputs.cfa.reset();
          if (plane.black_level != inputs.black_level) inputs.black_level.reset();
          if (plane.white_level != inputs.white_level) inputs.white_level.reset();
        }
        planes.push_back(std::move(plane));
      }
      continue;
    }
    auto array = py::array::ensure(item);
    if (array && array.ndim() == 3) {
      cal::Stack stack;
      for (py::ssize_t k = 0; k < array.shape(0); ++k) stack.push_back(View(array[py::int_(k)], inputs));
      inputs.stacks.push_back(stack);
    } else if (py::isinstance<py::list>(item) || py::isinstance<py::tuple>(item)) {
      cal::Stack stack;
      for (py::handle frame : item) stack.push_back(View(frame, inputs));
      inputs.stacks.push_back(stack);
    } else {
      inputs.stacks.push_back({View(item, inputs)});
    }
  }
  inputs.file_planes = std::move(planes);
  for (cal::Stack& stack : tarn::cli::GroupIntoStacks(inputs.file_planes)) inputs.stacks.push_back(stack);
  if (inputs.identifier_mixed) inputs.identifier.reset();
  return inputs;
}

py::dict Estimate(const py::list& items, const std::string& method, std::optional<std::string> cfa,
                  std::optional<unsigned> white_level, std::optional<float> black_level, const py::list& dark,
                  double confidence) {
  Inputs inputs = Gather(items);
  cal::EstimateOptions options;
  options.confidence = confidence;
  if (cfa) {
    const auto parsed = nv::ColorFilterArrayFromName(*cfa);
    if (!parsed) throw py::value_error("cfa must be one of kMono, kBayerRG, kBayerGR, kBayerBG, kBayerGB, not " + *cfa);
    options.cfa = *parsed;
  } else {
    options.cfa = inputs.cfa.value_or(nv::ColorFilterArray::kMono);
  }
  options.white_level = white_level;
  if (!white_level && inputs.white_level && *inputs.white_level >= 1 && *inputs.white_level <= 65535) {
    options.white_level = *inputs.white_level;
  }
  options.black_level = black_level ? black_level : inputs.black_level;
  Inputs dark_inputs = Gather(dark);
  for (const cal::Stack& stack : dark_inputs.stacks) {
    options.dark_frames.insert(options.dark_frames.end(), stack.begin(), stack.end());
  }
  if (method != "auto" && method != "stack" && method != "single") {
    throw py::value_error("method must be 'auto', 'stack' or 'single', not '" + method + "'");
  }
  cal::NoiseModel model;
  {
    py::gil_scoped_release unlocked;
    if (method == "single") {
      std::vector<cal::Plane> images;
      for (const cal::Stack& stack : inputs.stacks) images.insert(images.end(), stack.begin(), stack.end());
      model = cal::EstimateFromImages(images, options);
    } else if (method == "stack") {
      model = cal::EstimateFromStacks(inputs.stacks, options);
    } else {
      model = cal::Estimate(inputs.stacks, options);
    }
  }
  py::dict result;
  result["method"] = model.method == cal::Method::kStack ? "stack" : "single";
  result["method_description"] = cal::MethodName(model.method);
  result["gain"] = model.slope;
  result["intercept"] = model.intercept;
  result["black_level"] = model.black_level;
  result["read_noise"] = model.sigma;
  result["white_level"] = model.white_level;
  result["black_level_source"] = model.black_level_source;
  result["white_level_source"] = model.white_level_source;
  result["cfa"] = nv::ColorFilterArrayName(model.cfa);
  result["fit_slope"] = model.fit_slope;
  result["fit_intercept"] = model.fit_intercept;
  result["fit_covariance"] = py::make_tuple(model.cov_slope, model.cov_slope_intercept, model.cov_intercept);
  result["z"] = model.z;
  result["intensity_range"] = py::make_tuple(model.mean_low, model.mean_high);
  result["relative_rms"] = model.relative_rms;
  result["reduced_chi2"] = model.reduced_chi2;
  result["planes"] = model.planes;
  result["values"] = model.values;
  result["description"] = model.Describe();
  result["camera_identifier"] = inputs.identifier ? py::cast(*inputs.identifier) : py::none();
  py::list samples;
  for (const cal::VarianceSample& sample : model.samples) {
    const char* use = sample.use == cal::VarianceSample::Use::kFitted    ? "fitted"
                      : sample.use == cal::VarianceSample::Use::kClipped ? "clipped"
                                                                         : "outlier";
    samples.append(py::make_tuple(sample.mean, sample.variance, sample.variance_error, use));
  }
  result["samples"] = samples;
  // Rebuilding the file later needs the model itself.
  result["_model"] = py::capsule(new cal::NoiseModel(model), [](void* p) { delete static_cast<cal::NoiseModel*>(p); });
  return result;
}

std::string FileText(const py::capsule& model, const std::string& identifier, const std::vector<std::string>& sources) {
  if (identifier.empty()) throw py::value_error("the identifier must not be empty");
  cal::Provenance provenance{sources, "tarn.calibration (Python)"};
  return cal::CalibrationFileText(*model.get_pointer<cal::NoiseModel>(), identifier, provenance);
}

py::list ReadPlanes(const std::string& path) {
  tarn::cli::FilePlanes found;
  {
    py::gil_scoped_release unlocked;
    found = tarn::cli::ReadImagePlanes(path);
  }
  py::list planes;
  for (const tarn::cli::ImagePlane& plane : found.planes) {
    py::array_t<uint16_t> array({static_cast<py::ssize_t>(plane.height), static_cast<py::ssize_t>(plane.width)});
    std::copy(plane.pixels.begin(), plane.pixels.end(), array.mutable_data());
    planes.append(py::make_tuple(plane.series, array));
  }
  return planes;
}

}  // namespace

void DefineCalibrationFunctions(py::module_& calibration) {
  py::register_exception<cal::EstimateRefused>(calibration, "EstimateRefused", PyExc_ValueError);
  calibration.def("estimate", &Estimate, py::arg("items"), py::kw_only(), py::arg("method") = "auto",
                  py::arg("cfa") = py::none(), py::arg("white_level") = py::none(),
                  py::arg("black_level") = py::none(), py::arg("dark") = py::list(), py::arg("confidence") = 0.95);
  calibration.def("read_planes", &ReadPlanes, py::arg("path"));
  calibration.def("file_text", &FileText, py::arg("model"), py::arg("identifier"), py::arg("sources"));
}

}  // namespace tarn_python
