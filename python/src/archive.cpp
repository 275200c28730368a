// tarn.archive: compressed files opened in place, over tarn::archive::Archive.
#include "tarn/archive/archive.hpp"

#include <memory>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "bindings.hpp"
#include "tarn/error.hpp"

namespace tarn_python {
namespace {

using tarn::archive::Archive;

// Runs a library call without the GIL; its failures become tarn.Error with `what` as context.
template <class Call>
auto Unlocked(Call call) {
  try {
    py::gil_scoped_release unlocked;
    return call();
  } catch (const tarn::Error& error) {
    FlushLog();
    throw StatusError{error.status(), error.what()};
  }
}

py::dict PlaneDict(const tarn::archive::PlaneInfo& plane) {
  py::dict info;
  info["chunk"] = plane.chunk;
  info["source_offset"] = plane.source_offset;
  info["archive_offset"] = plane.archive_offset;
  info["stored_length"] = plane.stored_length;
  info["width"] = plane.width;
  info["height"] = plane.height;
  info["channels"] = plane.channels;
  info["bytes_per_sample"] = plane.bytes_per_sample;
  info["row_bytes"] = plane.row_bytes;
  info["byte_order"] = plane.endianness == std::endian::big ? "big" : "little";
  info["codec"] = static_cast<int>(plane.codec);
  return info;
}

// A NumPy uint8 array that owns the decoded bytes without copying them.
py::array_t<uint8_t> OwningArray(std::vector<uint8_t>&& bytes) {
  auto* owned = new std::vector<uint8_t>(std::move(bytes));
  py::capsule release(owned, [](void* pointer) { delete static_cast<std::vector<uint8_t>*>(pointer); });
  return py::array_t<uint8_t>({static_cast<py::ssize_t>(owned->size())}, owned->data(), release);
}

}  // namespace

void DefineArchive(py::module_& module) {
  py::class_<Archive>(module, "Archive")
      .def(py::init([](const std::string& path) { return Unlocked([&] { return Archive::Open(path); }); }),
           py::arg("path"))
      .def_property_readonly("size", &Archive::Size)
      .def("planes",
           [](const Archive& archive) {
             py::list planes;
             for (const auto& plane : archive.Planes()) planes.append(PlaneDict(plane));
             return planes;
           })
      .def(
          "decode_plane",
          [](const Archive& archive, size_t index) {
            if (index >= archive.Planes().size()) throw py::index_error("plane index out of range");
            tarn::archive::DecodedPlane plane = Unlocked([&] { return archive.DecodePlane(index); });
            FlushLog();
            return py::make_tuple(OwningArray(std::move(plane.bytes)), plane.prepared);
          },
          py::arg("index"))
      .def(
          "is_prepared",
          [](const Archive& archive, size_t index) {
            if (index >= archive.Planes().size()) throw py::index_error("plane index out of range");
            return Unlocked([&] { return archive.IsPrepared(index); });
          },
          py::arg("index"))
      .def(
          "read",
          [](const Archive& archive, uint64_t offset, uint64_t size) {
            if (offset > archive.Size() || size > archive.Size() - offset) {
              throw py::index_error("range past the end of the original file");
            }
            py::bytes result(nullptr, 0);
            auto* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
            if (object == nullptr) throw py::error_already_set();
            result = py::reinterpret_steal<py::bytes>(object);
            auto* data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(object));
            Unlocked([&] { archive.Read(offset, std::span<uint8_t>(data, size)); });
            FlushLog();
            return result;
          },
          py::arg("offset"), py::arg("size"))
      .def("positions", [](const Archive& archive) {
        auto positions = Unlocked([&] { return archive.Positions(); });
        FlushLog();
        return positions;
      });
}

}  // namespace tarn_python
