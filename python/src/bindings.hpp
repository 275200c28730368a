// Parts of the extension module, and the failure they raise as `tarn.Error`.
#pragma once

#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace tarn_python {

namespace py = pybind11;

// status: a TarnStatus (numerically a bm_status); context: what failed, on what.
struct StatusError {
  int32_t status;
  std::string context;
};

// Raises the Python exception for a StatusError (installed as an exception translator).
void RegisterStatusError();

void DefineFileFunctions(py::module_& module);
void DefineCodecFunctions(py::module_& codec);
void DefineCalibrationFunctions(py::module_& calibration);
void DefineArchive(py::module_& module);
void DefineLogRouting(py::module_& module);

// Hands the library messages queued so far to Python's logging; needs the GIL.
void FlushLog();

}  // namespace tarn_python
