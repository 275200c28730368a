// Hand-laid TIFF files for the byte-level tests: directories back to back, then data.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::test {

struct TiffEntry {
  uint16_t tag;
  uint16_t type;  // 3 SHORT, 4 LONG, 16 LONG8
  uint64_t count;
  uint64_t value;
};

inline void AppendUint(std::string& bytes, uint64_t value, std::endian endianness, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const size_t shift = endianness == std::endian::little ? i : size - 1 - i;
    bytes.push_back(static_cast<char>((value >> (8 * shift)) & 0xff));
  }
}

// Directories start at `first_ifd` and follow each other; `data` starts at `data_start`.
inline std::string TiffBytes(std::endian endianness, bool bigtiff, const std::vector<std::vector<TiffEntry>>& ifds,
                             uint64_t first_ifd, uint64_t data_start, const std::string& data) {
  const size_t c = bigtiff ? 8 : 2;
  const size_t f = bigtiff ? 8 : 4;
  std::string bytes = endianness == std::endian::little ? "II" : "MM";
  AppendUint(bytes, bigtiff ? 43 : 42, endianness, 2);
  if (bigtiff) {
    AppendUint(bytes, 8, endianness, 2);
    AppendUint(bytes, 0, endianness, 2);
  }
  AppendUint(bytes, ifds.empty() ? 0 : first_ifd, endianness, f);
  bytes.resize(first_ifd, '\0');
  for (size_t k = 0; k < ifds.size(); ++k) {
    AppendUint(bytes, ifds[k].size(), endianness, c);
    for (const auto& entry : ifds[k]) {
      AppendUint(bytes, entry.tag, endianness, 2);
      AppendUint(bytes, entry.type, endianness, 2);
      AppendUint(bytes, entry.count, endianness, f);
      const size_t width = entry.type == 3 ? 2 : entry.type == 4 ? 4 : f;
      AppendUint(bytes, entry.value, endianness, width);
      AppendUint(bytes, 0, endianness, f - width);
    }
    const uint64_t next = k + 1 < ifds.size() ? bytes.size() + f : 0;
    AppendUint(bytes, next, endianness, f);
  }
  bytes.resize(data_start, '\0');
  return bytes + data;
}

// One single-strip 16-bit directory in ascending tag order.
inline std::vector<TiffEntry> StripDirectory(uint32_t width, uint32_t height, uint16_t compression,
                                             uint64_t strip_offset, uint64_t strip_bytes, bool bigtiff) {
  const uint16_t offset_type = bigtiff ? 16 : 4;
  return {{256, 4, 1, width},          {257, 4, 1, height},   {258, 3, 1, 16},
          {259, 3, 1, compression},    {262, 3, 1, 1},        {273, offset_type, 1, strip_offset},
          {277, 3, 1, 1},              {278, 4, 1, height},   {279, offset_type, 1, strip_bytes}};
}

}  // namespace tarn::test
