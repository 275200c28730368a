// A compressed file opened in place: its image chunks listed as planes, one plane decoded
// alone, and any byte range of the original restored by decoding only the chunks it touches.
// Opening reads the footer and the metadata block, nothing else.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tarn/file/metadata/metadata.hpp"

namespace tarn::archive {

// One image chunk as an array: `height` rows of `width` pixels of `channels` samples, each
// sample `bytes_per_sample` bytes in `endianness` order. Row padding of the source is not
// part of a decoded plane.
struct PlaneInfo {
  size_t chunk = 0;             // index among all chunks of the file
  uint64_t source_offset = 0;   // first byte in the original file
  uint64_t archive_offset = 0;  // first byte of the stored chunk
  uint64_t stored_length = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t channels = 1;
  uint16_t bytes_per_sample = 0;
  uint32_t row_bytes = 0;       // stride of a row in the original, padding included
  std::endian endianness = std::endian::little;
  Codec codec = Codec::None;

  uint64_t PlaneBytes() const { return uint64_t{width} * height * channels * bytes_per_sample; }
};

// Where a plane lies in the source's own dimensions, in the order the reader names them:
// TIFF {"directory"} ({"directory", "subdirectory"} in SubIFDs), ImageJ stacks {"directory", "channel", "slice", "frame"} (or "image"),
// ND2 {"sequence"}, CZI the sub-block's start on each dimension ("C", "Z", "T", "S", "M", ...).
// Empty when the source's reader gave none.
using Position = std::vector<std::pair<std::string, int64_t>>;

struct DecodedPlane {
  std::vector<uint8_t> bytes;  // PlaneBytes() bytes, rows back to back
  bool prepared = false;       // calibrated noise replacement was applied: lossy
};

class Archive {
 public:
  // Throws tarn::Error (status 5) when the file cannot be read, status 7 when it does not
  // end like a compressed file or its block is damaged.
  static Archive Open(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }
  const Metadata& metadata() const { return *metadata_; }
  // Length of the original file.
  uint64_t Size() const { return source_offsets_.back(); }
  const std::vector<PlaneInfo>& Planes() const { return planes_; }

  // Decodes plane `index` alone, checked as a restore is (status 7 for damaged data).
  // Safe to call from several threads at once: each call opens the file itself.
  DecodedPlane DecodePlane(size_t index) const;
  // True when the plane's image was prepared (lossy); reads the start of its chunk only.
  bool IsPrepared(size_t index) const;

  // Bytes [offset, offset + out.size()) of the original file; a range past its end throws
  // std::out_of_range. Only the chunks the range touches are read and decoded, each one whole
  // so that its checks run; memory beyond `out` stays within one image chunk.
  void Read(uint64_t offset, std::span<uint8_t> out) const;
  std::vector<uint8_t> Read(uint64_t offset, uint64_t size) const;

  // The positions of all planes, read from the original's own headers through Read (this
  // decodes the chunks that hold those headers, not the planes).
  std::vector<Position> Positions() const;

  // The chunk holding original byte `offset`; offsets of a chunk in the original file.
  size_t ChunkAt(uint64_t offset) const;
  uint64_t SourceOffset(size_t chunk) const { return source_offsets_[chunk]; }
  uint64_t ArchiveOffset(size_t chunk) const { return archive_offsets_[chunk]; }
  // The chunk decoded whole and checked.
  std::vector<uint8_t> DecodeChunk(size_t chunk) const;

 private:
  Archive(std::filesystem::path path, std::shared_ptr<const Metadata> metadata);

  std::filesystem::path path_;
  std::shared_ptr<const Metadata> metadata_;
  std::vector<uint64_t> source_offsets_;   // one per chunk, plus the total
  std::vector<uint64_t> archive_offsets_;  // one per chunk, plus the end of the chunk data
  std::vector<PlaneInfo> planes_;
};

}  // namespace tarn::archive
