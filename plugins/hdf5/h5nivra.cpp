// libh5nivra: an HDF5 filter coding chunks of 16-bit integer datasets with Nivra, exactly.
// Each chunk is a stack of planes (its last two dimensions), framed as the zarr codec of the
// Python package frames them, so a chunk's bytes mean the same in both:
//
//   4 bytes      "NVZ" and the frame version, 1
//   1 byte       flags, 0 (HDF5 chunks are always in C order)
//   1 byte       number of dimensions d (2 or more)
//   2 bytes      zero
//   d x 4 bytes  the chunk's shape
//   P x 8 bytes  per plane: the length of its stream and the CRC-32 of the stream
//   4 bytes      CRC-32 of everything above
//   the P Nivra streams
//
// Numbers are unsigned little-endian. Every plane is decoded again before its chunk is
// handed to HDF5, and reading checks every field, both checksums and each stream's own
// checks: a damaged chunk is a read error, never other values.
#include <hdf5.h>
#include <H5PLextern.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "h5nivra.h"
#include "nivra/nivra.h"

namespace {

constexpr uint8_t kMagic[4] = {'N', 'V', 'Z', 1};
constexpr size_t kHeadSize = 8;
// cd_values: frame version, byte order (0 little, 1 big), rank, then the chunk's sides.
constexpr unsigned kCdVersion = 1;
constexpr size_t kCdFixed = 3;
constexpr int kMaxRank = 32;

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint32_t GetU32(const uint8_t* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}
uint32_t Crc32(const uint8_t* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    const auto piece = static_cast<uInt>(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
    crc = crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

void Swap16(uint16_t* values, size_t count) {
  for (size_t i = 0; i < count; ++i) values[i] = static_cast<uint16_t>(values[i] << 8 | values[i] >> 8);
}

bool HostIsBig() {
  const uint16_t probe = 1;
  uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

struct Geometry {
  std::vector<uint32_t> shape;
  bool swap = false;  // the dataset's byte order is not the host's
  size_t planes = 0;
  uint32_t height = 0, width = 0;

  size_t PlanePixels() const { return size_t{height} * width; }
  size_t Bytes() const { return planes * PlanePixels() * 2; }
};

bool GeometryOf(size_t cd_nelmts, const unsigned cd_values[], Geometry& geometry) {
  if (cd_nelmts < kCdFixed || cd_values[0] != kCdVersion || cd_values[1] > 1) return false;
  const unsigned rank = cd_values[2];
  if (rank < 2 || rank > kMaxRank || cd_nelmts != kCdFixed + rank) return false;
  geometry.shape.assign(cd_values + kCdFixed, cd_values + kCdFixed + rank);
  geometry.swap = (cd_values[1] == 1) != HostIsBig();
  geometry.planes = 1;
  for (unsigned i = 0; i + 2 < rank; ++i) geometry.planes *= geometry.shape[i];
  geometry.height = geometry.shape[rank - 2];
  geometry.width = geometry.shape[rank - 1];
  if (geometry.planes == 0 || geometry.PlanePixels() == 0 ||
      geometry.PlanePixels() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return false;
  }
  return true;
}

// Replaces *buf by `bytes` in memory HDF5 owns.
size_t Hand(std::vector<uint8_t>& bytes, size_t* buf_size, void** buf) {
  void* out = H5allocate_memory(bytes.size(), false);
  if (out == nullptr) return 0;
  std::memcpy(out, bytes.data(), bytes.size());
  H5free_memory(*buf);
  *buf = out;
  *buf_size = bytes.size();
  return bytes.size();
}

size_t Encode(const Geometry& geometry, size_t nbytes, size_t* buf_size, void** buf) {
  if (nbytes != geometry.Bytes()) return 0;
  const size_t pixels = geometry.PlanePixels();
  std::vector<uint16_t> plane(pixels), check(pixels);
  const int64_t capacity64 = std::min<int64_t>(std::numeric_limits<int32_t>::max(), 4 * int64_t(pixels) + 65536);
  std::vector<uint8_t> stream(static_cast<size_t>(capacity64));
  std::vector<uint8_t> head(kMagic, kMagic + 4);
  head.push_back(0);
  head.push_back(static_cast<uint8_t>(geometry.shape.size()));
  head.push_back(0);
  head.push_back(0);
  for (uint32_t side : geometry.shape) PutU32(head, side);
  std::vector<uint8_t> streams;
  const auto* input = static_cast<const uint8_t*>(*buf);
  for (size_t p = 0; p < geometry.planes; ++p) {
    std::memcpy(plane.data(), input + p * pixels * 2, pixels * 2);
    if (geometry.swap) Swap16(plane.data(), pixels);
    int32_t length = static_cast<int32_t>(capacity64);
    if (nivra_encode(plane.data(), static_cast<int32_t>(geometry.width), static_cast<int32_t>(geometry.height),
                     stream.data(), &length) != BM_OK) {
      return 0;
    }
    // What is stored must decode to exactly what was given.
    if (nivra_decode(stream.data(), length, check.data(), static_cast<int32_t>(pixels)) != BM_OK ||
        std::memcmp(check.data(), plane.data(), pixels * 2) != 0) {
      return 0;
    }
    PutU32(head, static_cast<uint32_t>(length));
    PutU32(head, Crc32(stream.data(), static_cast<size_t>(length)));
    streams.insert(streams.end(), stream.begin(), stream.begin() + length);
  }
  PutU32(head, Crc32(head.data(), head.size()));
  head.insert(head.end(), streams.begin(), streams.end());
  return Hand(head, buf_size, buf);
}

size_t Decode(const Geometry& geometry, size_t nbytes, size_t* buf_size, void** buf) {
  const auto* data = static_cast<const uint8_t*>(*buf);
  const size_t rank = geometry.shape.size();
  if (nbytes < kHeadSize || std::memcmp(data, kMagic, 4) != 0 || data[4] != 0 || data[5] != rank || data[6] != 0 ||
      data[7] != 0) {
    return 0;
  }
  size_t at = kHeadSize;
  if (nbytes < at + 4 * rank) return 0;
  for (size_t i = 0; i < rank; ++i, at += 4) {
    if (GetU32(data + at) != geometry.shape[i]) return 0;
  }
  const size_t table = at;
  if ((nbytes - at) / 8 < geometry.planes || nbytes - at - 8 * geometry.planes < 4) return 0;
  at += 8 * geometry.planes;
  if (GetU32(data + at) != Crc32(data, at)) return 0;
  at += 4;
  const size_t pixels = geometry.PlanePixels();
  std::vector<uint8_t> out(geometry.Bytes());
  for (size_t p = 0; p < geometry.planes; ++p) {
    const uint32_t length = GetU32(data + table + 8 * p);
    const uint32_t checksum = GetU32(data + table + 8 * p + 4);
    if (length > nbytes - at || Crc32(data + at, length) != checksum) return 0;
    auto* plane = reinterpret_cast<uint16_t*>(out.data() + p * pixels * 2);
    if (nivra_decode(data + at, static_cast<int32_t>(length), plane, static_cast<int32_t>(pixels)) != BM_OK) return 0;
    if (geometry.swap) Swap16(plane, pixels);
    at += length;
  }
  if (at != nbytes) return 0;
  return Hand(out, buf_size, buf);
}

size_t Filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes, size_t* buf_size,
              void** buf) {
  Geometry geometry;
  if (!GeometryOf(cd_nelmts, cd_values, geometry)) return 0;
  try {
    return (flags & H5Z_FLAG_REVERSE) ? Decode(geometry, nbytes, buf_size, buf)
                                      : Encode(geometry, nbytes, buf_size, buf);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

bool Is16BitInteger(hid_t type) { return H5Tget_class(type) == H5T_INTEGER && H5Tget_size(type) == 2; }

htri_t CanApply(hid_t dcpl, hid_t type, hid_t) {
  if (!Is16BitInteger(type)) return 0;
  if (H5Pget_layout(dcpl) != H5D_CHUNKED) return 0;
  return H5Pget_chunk(dcpl, 0, nullptr) >= 2 ? 1 : 0;
}

herr_t SetLocal(hid_t dcpl, hid_t type, hid_t) {
  hsize_t chunk[kMaxRank];
  const int rank = H5Pget_chunk(dcpl, kMaxRank, chunk);
  if (rank < 2 || rank > kMaxRank || !Is16BitInteger(type)) return -1;
  std::vector<unsigned> values = {kCdVersion, H5Tget_order(type) == H5T_ORDER_BE ? 1u : 0u,
                                  static_cast<unsigned>(rank)};
  for (int i = 0; i < rank; ++i) {
    if (chunk[i] > std::numeric_limits<uint32_t>::max()) return -1;
    values.push_back(static_cast<unsigned>(chunk[i]));
  }
  unsigned flags = 0;
  size_t count = 0;
  unsigned ignored[1];
  if (H5Pget_filter_by_id2(dcpl, H5NIVRA_FILTER_ID, &flags, &count, ignored, 0, nullptr, nullptr) < 0) return -1;
  return H5Pmodify_filter(dcpl, H5NIVRA_FILTER_ID, flags, values.size(), values.data());
}

const H5Z_class2_t kNivraFilter = {
    H5Z_CLASS_T_VERS,
    static_cast<H5Z_filter_t>(H5NIVRA_FILTER_ID),
    1,  // encoder present
    1,  // decoder present
    "nivra: exact coding of 16-bit image planes",
    CanApply,
    SetLocal,
    Filter,
};

}  // namespace

extern "C" {
H5PL_type_t H5PLget_plugin_type(void) { return H5PL_TYPE_FILTER; }
const void* H5PLget_plugin_info(void) { return &kNivraFilter; }
}
