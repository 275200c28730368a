// The Nivra codec on NumPy arrays: exact encoding and decoding of 2-D uint16
// planes, and the calibrated preparation libtarn applies to camera images.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "nivra/nivra.hpp"
#include "bindings.hpp"

namespace tarn_python {

namespace {

namespace nv = Brimlake::Nivra;

// One stream holds at most this many pixels (the C interface counts in signed 32 bits).
constexpr int64_t kMaxPixels = std::numeric_limits<int32_t>::max();

struct Plane {
  py::array array;
  int64_t height;
  int64_t width;
  int64_t PixelCount() const { return height * width; }
};

std::string TypeName(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }
std::string ShapeText(const py::array& array) { return py::str(array.attr("shape")); }

// The one array form the codec takes; anything else is refused before any work.
Plane RequirePlane(py::handle object, const std::string& name, bool writable) {
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(name + " must be a numpy.ndarray of uint16, not " + TypeName(object));
  }
  auto array = py::reinterpret_borrow<py::array>(object);
  if (!array.dtype().equal(py::dtype::of<uint16_t>())) {
    throw py::value_error(name + " must have dtype uint16 in native byte order, not " +
                          std::string(py::str(array.dtype())) + " (use astype(numpy.uint16))");
  }
  if (array.ndim() != 2) {
    throw py::value_error(name + " must be 2-D (height, width), not of shape " + ShapeText(array));
  }
  if (!(array.flags() & py::array::c_style)) {
    throw py::value_error(name + " must be C-contiguous (numpy.ascontiguousarray makes such a copy)");
  }
  if (writable && !array.writeable()) throw py::value_error(name + " is read-only");
  const Plane plane{array, array.shape(0), array.shape(1)};
  if (plane.PixelCount() == 0) throw py::value_error(name + " is empty (shape " + ShapeText(array) + ")");
  if (plane.PixelCount() > kMaxPixels) {
    throw py::value_error(name + " has " + std::to_string(plane.PixelCount()) +
                          " pixels; one stream holds at most 2**31 - 1");
  }
  return plane;
}

// (height, width) from a Python sequence of two positive integers.
std::pair<int64_t, int64_t> RequireShape(py::handle object) {
  const std::string wrong = "shape must be (height, width), two positive integers";
  const bool text = py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object);
  if (!py::isinstance<py::sequence>(object) || text || py::len(object) != 2) {
    throw py::value_error(wrong + ", not " + std::string(py::repr(object)));
  }
  int64_t sides[2];
  for (size_t i = 0; i < 2; ++i) {
    py::object side = py::reinterpret_borrow<py::sequence>(object)[i];
    PyObject* index = PyNumber_Index(side.ptr());
    if (index == nullptr) {
      PyErr_Clear();
      throw py::value_error(wrong + ", not " + std::string(py::repr(object)));
    }
    const long long value = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    if (value <= 0 || value > kMaxPixels) throw py::value_error(wrong + ", not " + std::string(py::repr(object)));
    sides[i] = value;
  }
  if (sides[0] * sides[1] > kMaxPixels) {
    throw py::value_error("shape " + std::string(py::repr(object)) + " holds more than 2**31 - 1 pixels");
  }
  return {sides[0], sides[1]};
}

// A contiguous read-only view of any bytes-like object, released on scope exit.
class ByteView {
 public:
  explicit ByteView(py::handle object) {
    if (!PyObject_CheckBuffer(object.ptr())) {
      throw py::type_error("data must be bytes-like (bytes, bytearray, memoryview), not " + TypeName(object));
    }
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      throw py::value_error("data must be a contiguous buffer of bytes");
    }
  }
  ~ByteView() { PyBuffer_Release(&view_); }
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

// Width and height as a stream's header records them: "Nv", version, mode, layout
// byte, then two LEB128 numbers. Null when the bytes do not begin like a stream
// (the decoder rejects those itself).
std::optional<std::pair<uint64_t, uint64_t>> StreamGeometry(const uint8_t* data, size_t size) {
  if (size < 5 || data[0] != 'N' || data[1] != 'v') return std::nullopt;
  size_t at = 5;
  auto varint = [&]() -> std::optional<uint64_t> {
    uint64_t value = 0;
    for (int shift = 0; shift < 35 && at < size; shift += 7) {
      const uint8_t byte = data[at++];
      value |= uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return value;
    }
    return std::nullopt;
  };
  const auto width = varint();
  const auto height = varint();
  if (!width || !height) return std::nullopt;
  return std::make_pair(*width, *height);
}

bool DecodesTo(const uint8_t* stream, int32_t length, const uint16_t* pixels, int64_t count) {
  std::unique_ptr<uint16_t[]> decoded(new uint16_t[count]);
  return nivra_decode(stream, length, decoded.get(), static_cast<int32_t>(count)) == BM_OK &&
         std::memcmp(decoded.get(), pixels, static_cast<size_t>(count) * sizeof(uint16_t)) == 0;
}

py::bytes Encode(py::handle object, bool verify) {
  const Plane plane = RequirePlane(object, "array", false);
  const auto* pixels = static_cast<const uint16_t*>(plane.array.data());
  const int64_t count = plane.PixelCount();
  // Room for incompressible data too: untouched capacity costs address space only.
  const auto capacity = static_cast<int32_t>(std::min<int64_t>(kMaxPixels, 4 * count + 65536));
  std::unique_ptr<uint8_t[]> stream(new uint8_t[capacity]);
  int32_t length = capacity;
  bm_status status;
  bool verified = true;
  {
    py::gil_scoped_release unlocked;
    status = nivra_encode(pixels, static_cast<int32_t>(plane.width), static_cast<int32_t>(plane.height),
                          stream.get(), &length);
    if (status == BM_OK && verify) verified = DecodesTo(stream.get(), length, pixels, count);
  }
  if (status != BM_OK) throw StatusError{status, "nivra.encode"};
  if (!verified) throw StatusError{BM_INCOMPATIBLE_IMAGE, "nivra.encode: the stream does not decode to the array"};
  return py::bytes(reinterpret_cast<const char*>(stream.get()), static_cast<size_t>(length));
}

py::array Decode(py::handle data, py::handle shape, py::handle out) {
  const auto [height, width] = RequireShape(shape);
  py::array result;
  if (out.is_none()) {
    result = py::array_t<uint16_t>({height, width});
  } else {
    const Plane plane = RequirePlane(out, "out", true);
    if (plane.height != height || plane.width != width) {
      throw py::value_error("out has shape " + ShapeText(plane.array) + ", not " + std::string(py::repr(shape)));
    }
    result = plane.array;
  }
  const ByteView stream(data);
  if (stream.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw StatusError{BM_INVALID_FILE_CONTENT, "nivra.decode: no stream is 2 GiB or longer"};
  }
  // The pixel count alone would let a transposed shape decode into a scrambled image.
  if (const auto geometry = StreamGeometry(stream.data(), stream.size())) {
    if (geometry->first != static_cast<uint64_t>(width) || geometry->second != static_cast<uint64_t>(height)) {
      const std::string found = std::to_string(geometry->second) + " x " + std::to_string(geometry->first);
      throw StatusError{BM_INVALID_FILE_CONTENT,
                        "nivra.decode: the stream holds a " + found + " image, not " + std::string(py::repr(shape))};
    }
  }
  auto* pixels = static_cast<uint16_t*>(result.mutable_data());
  bm_status status;
  {
    py::gil_scoped_release unlocked;
    status = nivra_decode(stream.data(), static_cast<int32_t>(stream.size()), pixels,
                          static_cast<int32_t>(height * width));
  }
  if (status != BM_OK) throw StatusError{status, "nivra.decode"};
  return result;
}

std::unique_ptr<nv::EmbeddedHeader> BuildHeader(const std::string& calibration_id, float error_bound, uint64_t seed) {
  std::shared_ptr<nv::QuantizerParameters> parameters = nv::ParameterRegistry::get_parameters(calibration_id);
  if (!parameters) return nullptr;
  if (const auto cfa = nv::ColorFilterArrayFromName(nv::ParameterRegistry::get_cfa(calibration_id))) {
    return std::make_unique<nv::ColorHeader>(seed, error_bound, *cfa, std::move(parameters));
  }
  return std::make_unique<nv::MonochromeHeader>(seed, error_bound, std::move(parameters));
}

uint64_t RandomSeed() {
  std::random_device device;
  return uint64_t{device()} << 32 | device();
}

// As libtarn prepares an image: an image that already carries a header is left as it
// is; otherwise the noise is replaced and the header written into the leading pixels.
py::array Prepare(py::handle object, const std::string& calibration_id, double error_bound,
                  std::optional<uint64_t> seed) {
  const Plane plane = RequirePlane(object, "array", false);
  if (!std::isfinite(error_bound) || !(error_bound > 0) || error_bound > std::numeric_limits<float>::max()) {
    throw py::value_error("error_bound must be a positive finite number, not " + std::to_string(error_bound));
  }
  py::array_t<uint16_t> result({plane.height, plane.width});
  const std::span<uint16_t> pixels(result.mutable_data(), static_cast<size_t>(plane.PixelCount()));
  std::memcpy(pixels.data(), plane.array.data(), pixels.size_bytes());
  const uint64_t header_seed = seed ? *seed : RandomSeed();
  bm_status status = BM_OK;
  std::string failure;
  {
    py::gil_scoped_release unlocked;
    try {
      if (!nv::EmbeddedHeader::Read(pixels)) {
        const auto header = BuildHeader(calibration_id, static_cast<float>(error_bound), header_seed);
        if (!header) {
          status = BM_NO_PARAMETERS_FOR_IDENTIFIER;
          failure = "no calibration registered as '" + calibration_id + "'";
        } else if (pixels.size() < header->PixelCount()) {
          status = BM_TOO_FEW_PIXELS;
        } else {
          const std::vector<uint16_t> kept(pixels.begin(), pixels.begin() + header->PixelCount());
          nv::replace_noise(pixels.data(), pixels.size(), *header->parameters(), header->error_bound(),
                            header->seed());
          std::copy(kept.begin(), kept.end(), pixels.begin());
          header->Embed(pixels);
        }
      }
    } catch (const nv::NivraError& error) {
      status = error.status();
      failure = error.what();
    }
  }
  if (status != BM_OK) throw StatusError{status, "nivra.prepare" + (failure.empty() ? "" : ": " + failure)};
  return result;
}

}  // namespace

void DefineCodecFunctions(py::module_& codec) {
  codec.def("encode", &Encode, py::arg("array"), py::kw_only(), py::arg("verify") = true);
  codec.def("decode", &Decode, py::arg("data"), py::arg("shape"), py::kw_only(), py::arg("out") = py::none());
  codec.def("prepare", &Prepare, py::arg("array"), py::arg("calibration_id"), py::kw_only(),
            py::arg("error_bound") = 1.0, py::arg("seed") = py::none());
}

}  // namespace tarn_python
