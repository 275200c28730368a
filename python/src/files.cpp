// File operations and the calibration registry through libtarn's C interface.
// Paths arrive as bytes (os.fsencode), so any name the file system allows works.
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "bindings.hpp"
#include "tarn/tarn.h"

namespace tarn_python {

namespace {

const char* OrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// Python runs its signal handlers on the main thread only, and only between bytecodes.
unsigned long main_thread = 0;

// Runs a C call without the GIL and raises its status when it failed. On the main
// thread the call runs on a helper thread while this one looks for signals: Ctrl-C
// (KeyboardInterrupt) then stops the library's operations, waits until the call has
// removed its unfinished output, and is raised once it has.
template <class Call>
void Run(const char* operation, const std::string& source, Call call) {
  TarnStatus status;
  if (PyThread_get_thread_ident() != main_thread) {
    py::gil_scoped_release unlocked;
    status = call();
  } else {
    std::packaged_task<TarnStatus()> task(std::move(call));
    std::future<TarnStatus> result = task.get_future();
    std::thread worker(std::move(task));
    bool interrupted = false;
    for (;;) {
      {
        py::gil_scoped_release unlocked;
        if (result.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) break;
      }
      if (!interrupted && PyErr_CheckSignals() != 0) {
        interrupted = true;
        TarnStopOperations();
      }
    }
    worker.join();
    status = result.get();
    if (interrupted) throw py::error_already_set();
  }
  FlushLog();
  if (status != kTarnStatusOk) throw StatusError{status, std::string(operation) + " " + source};
}

void CollectLeftover(const char* path, uint64_t size, void* context) {
  static_cast<std::vector<std::pair<std::string, uint64_t>>*>(context)->emplace_back(path, size);
}

}  // namespace

void DefineFileFunctions(py::module_& module) {
  using Path = std::string;
  using OptionalText = std::optional<std::string>;
  main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

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
      "remove_leftovers",
      [](const Path& folder) {
        std::vector<std::pair<std::string, uint64_t>> removed;
        int64_t count;
        {
          py::gil_scoped_release unlocked;
          count = TarnRemoveLeftovers(folder.c_str(), CollectLeftover, &removed);
        }
        if (count < 0) throw StatusError{kTarnStatusCouldNotReadFile, "remove_leftovers " + folder};
        std::vector<std::pair<py::bytes, uint64_t>> result;
        for (auto& [path, size] : removed) result.emplace_back(py::bytes(path), size);
        return result;
      },
      py::arg("folder"));
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
