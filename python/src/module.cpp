// The extension module `tarn._tarn`: file operations of libtarn and, in the
// submodule `nivra`, the image codec. The public names live in the pure-Python
// modules beside it.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "tarn/tarn.h"

namespace tarn_python {

void RegisterStatusError() {
  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const StatusError& error) {
      // tarn._error is imported by the package before this module, so this never loads it afresh.
      py::object error_type = py::module_::import("tarn._error").attr("Error");
      const char* description = TarnStatusDescription(static_cast<TarnStatus>(error.status));
      // The context may hold a path in the file system's encoding, not necessarily UTF-8.
      py::object context = py::reinterpret_steal<py::object>(
          PyUnicode_DecodeFSDefaultAndSize(error.context.data(), static_cast<Py_ssize_t>(error.context.size())));
      if (!context) throw py::error_already_set();
      py::object instance = error_type(error.status, description, context);
      PyErr_SetObject(error_type.ptr(), instance.ptr());
    }
  });
}

}  // namespace tarn_python

PYBIND11_MODULE(_tarn, module) {
  namespace py = pybind11;
  module.doc() = "Native part of the tarn package; use the names of `tarn` and `tarn.nivra`.";
  tarn_python::RegisterStatusError();
  tarn_python::DefineFileFunctions(module);
  tarn_python::DefineArchive(module);
  tarn_python::DefineLogRouting(module);
  py::module_ codec = module.def_submodule("nivra", "The Nivra image codec on 2-D uint16 arrays.");
  tarn_python::DefineCodecFunctions(codec);
  py::module_ calibration = module.def_submodule("calibration", "The noise-model estimator of libnivra.");
  tarn_python::DefineCalibrationFunctions(calibration);
}
