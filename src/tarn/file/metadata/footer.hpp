// The last 12 bytes of a compressed file: version and metadata block length, little-endian.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

namespace tarn::metadata {

struct Footer {
  static constexpr uint64_t kSize = 12;
  // Written for every file that holds only the forms version 4 knows.
  static constexpr uint32_t kCurrentVersion = 4;
  // Written for files holding re-encoded images; the newest version read.
  static constexpr uint32_t kNewestVersion = 5;

  uint32_t version = kCurrentVersion;
  uint64_t length = 0;  // N, the metadata block's size in bytes

  // Reads 12 bytes at the stream's position.
  static Footer ReadFrom(std::istream& in);
  void WriteTo(std::ostream& out) const;
  // Where the block starts, relative to the end of the file: -12 - N.
  int64_t MetadataStartOffsetFromEnd() const;
};

}  // namespace tarn::metadata
