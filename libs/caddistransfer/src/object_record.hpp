// What a storage keeps beside every stored file: how it is stored, the size and
// checksum of the file a download must give back, the source's permission bits and
// modification time, and the size and checksum of the stored bytes. The record checks
// itself, so a damaged record is noticed instead of trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "checksum.hpp"

namespace caddistransfer {

enum class Encoding {
  kTarn,      // compressed by libtarn; a download decompresses it
  kVerbatim,  // the stored bytes are the file's bytes (empty, already compressed)
};

struct ObjectRecord {
  Encoding encoding = Encoding::kTarn;
  // A download keeps the stored name as it is instead of dropping ".nivra" (for files
  // that were ".nivra" files already).
  bool keeps_extension = false;
  uint64_t size = 0;  // of the file a download restores
  Digest checksum;
  uint64_t source_size = 0;  // of the uploaded file; differs from the above only when prepared
  Digest source_checksum;
  std::optional<std::string> calibration;  // prepared with this camera calibration
  uint32_t mode = 0644;                    // permission bits of the source
  int64_t modified_ns = 0;                 // modification time of the source, ns since 1970 UTC
  uint64_t object_size = 0;                // of the stored bytes
  Digest object_checksum;

  // JSON text, one key per line, ending in the record's own checksum.
  std::string ToText() const;
  // Throws std::runtime_error saying what is wrong (unreadable, damaged, unknown version).
  static ObjectRecord FromText(const std::string& text);

  // True when uploading the same source the same way would store the same thing.
  bool SameUpload(const ObjectRecord& other) const {
    return encoding == other.encoding && keeps_extension == other.keeps_extension &&
           source_size == other.source_size && source_checksum == other.source_checksum &&
           calibration == other.calibration;
  }
};

}  // namespace caddistransfer
