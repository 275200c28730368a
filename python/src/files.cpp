// File operations and the calibration registry through libtarn's C interface.
// Paths arrive as bytes (os.fsencode), so any name the file system allows works.
#include <optional>
#include <string>

#include <pybind11/stl.h>

#include "bindings.hpp"
#include "tarn/tarn.h"

namespace tarn_python {

namespace {

const char* OrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// Runs a C call without the GIL and raises its status when it failed.
template <class Call>
void Run(const char* operation, const std::string& source, Call call) {
  TarnStatus status;
  {
    py::gil_scoped_release unlocked;
    status = call();
  }
  if (status != kTarnStatusOk) throw StatusError{status, std::string(operation) + " " + source};
}

}  // namespace

void DefineFileFunctions(py::module_& module) {
  using Path = std::string;
  using OptionalText = std::optional<std::string>;

  module.def(
      "compress_file",
      [](const Path& source, const Path& destination, const OptionalText& metadata_json) {
        Run("compress_file", source,
            [&] { return TarnCompressFile(source.c_str(), destination.c_str(), OrNull(metadata_json)); });
      },
      py::arg("source"), py::arg("destination"), py::arg("metadata_json"));
  module.def(
      "decompress_file",
      [](const Path& source, const Path& destination, const OptionalText& metadata_json) {
        Run("decompress_file", source,
            [&] { return TarnDecompressFile(source.c_str(), destination.c_str(), OrNull(metadata_json)); });
      },
      py::arg("source"), py::arg("destination"), py::arg("metadata_json"));
  module.def(
      "prepare_file",
      [](const Path& source, const Path& destination, const OptionalText& calibration_id) {
        Run("prepare_file", source,
            [&] { return TarnPrepareFile(source.c_str(), destination.c_str(), OrNull(calibration_id)); });
      },
      py::arg("source"), py::arg("destination"), py::arg("calibration_id"));
  module.def(
      "prepare_and_compress_file",
      [](const Path& source, const Path& destination, const OptionalText& calibration_id,
         const OptionalText& metadata_json) {
        Run("prepare_and_compress_file", source, [&] {
          return TarnPrepareAndCompressFile(source.c_str(), destination.c_str(), OrNull(calibration_id),
                                            OrNull(metadata_json));
        });
      },
      py::arg("source"), py::arg("destination"), py::arg("calibration_id"), py::arg("metadata_json"));

  module.def(
      "load_calibration_path",
      [](const Path& path) {
        py::gil_scoped_release unlocked;
        return TarnCalibrationRegistryLoadPath(path.c_str());
      },
      py::arg("path"));
  module.def("load_default_calibration", [] {
    py::gil_scoped_release unlocked;
    return TarnCalibrationRegistryDefaultInitialize();
  });
  module.def("clear_calibration", [] { TarnCalibrationRegistryClear(); });

  module.def("version", [] { return std::string(TarnVersion()); });
  module.def(
      "status_description",
      [](int32_t status) { return std::string(TarnStatusDescription(static_cast<TarnStatus>(status))); },
      py::arg("status"));
  module.def(
      "set_log_level", [](int level) { TarnSetLogLevel(level); }, py::arg("level"));
  module.def(
      "add_log_file",
      [](const Path& path) {
        TarnAddLogFile(path.c_str());
      },
      py::arg("path"));
}

}  // namespace tarn_python
