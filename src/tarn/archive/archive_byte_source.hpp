// The original file of an archive as a ByteSource, for the header parsers of the readers.
// The chunks that hold headers are small and are read many times over, so each one is
// decoded once and kept; image chunks are read through without being kept.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "tarn/archive/archive.hpp"
#include "tarn/file/metadata/readers/byte_source.hpp"

namespace tarn::archive {

class ArchiveByteSource : public metadata::ByteSource {
 public:
  explicit ArchiveByteSource(const Archive& archive) : archive_(archive) {}
  uint64_t Size() const override { return archive_.Size(); }

 private:
  void ReadAt_(uint64_t offset, std::span<uint8_t> out) override;

  const Archive& archive_;
  std::map<size_t, std::vector<uint8_t>> kept_;  // decoded chunks that are not planes
  uint64_t kept_bytes_ = 0;
};

}  // namespace tarn::archive
