// Byte-level TIFF header and directory access, used to rewrite the directories of
// TIFFs whose strips are already Nivra-encoded so that they describe the decoded file.
#pragma once

#include <bit>
#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <vector>

namespace tarn::metadata {

struct TiffHeaderInfo {
  std::endian endianness = std::endian::little;
  bool bigtiff = false;
  uint64_t first_ifd_offset = 0;
};

// Width, height and bytes per sample recorded for one directory of the chain.
struct TiffDimensions {
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t bytes_per_sample = 0;
  uint64_t RawSize() const { return width * height * bytes_per_sample; }
};

// What the rewrite saw in one directory, with source values, so that a caller can
// check the chain matches the image chunks before trusting the rewrite.
struct TiffDirectoryLayout {
  uint64_t ifd_offset = 0;
  uint64_t ifd_end = 0;  // just past the next-directory field
  TiffDimensions dimensions;
  uint64_t compression = 0;
  uint64_t samples_per_pixel = 1;
  uint64_t strip_offset = 0;
  uint64_t strip_offsets_count = 0;
  uint16_t strip_offsets_type = 0;
  uint64_t strip_byte_count = 0;
  uint64_t strip_byte_counts_count = 0;
  uint16_t strip_byte_counts_type = 0;
  uint64_t bits_per_sample_count = 0;
};

// Per-walk state of the rewrite.
struct TiffRewriteState {
  std::map<uint64_t, TiffDimensions> dimensions;  // by directory index in the chain
  uint64_t running_strip_offset = 0;
};

TiffHeaderInfo ReadTiffHeaderInfo(std::istream& in);

// Seeks `in` to 0 and copies its first n bytes to `out` at out's current position.
void CopyTiffHeader(std::istream& in, std::ostream& out, uint64_t n);

// Copies the directory chain from `first_ifd_offset` on, with Compression 1, raw strip
// byte counts and strip offsets laid end to end from the first image's offset. Refuses
// (std::runtime_error) a chain that loops or points backwards. Returns what it saw.
std::vector<TiffDirectoryLayout> UpdateTiffMetadataForCompressedOutput(std::istream& in, std::ostream& out,
                                                                      uint64_t first_ifd_offset, bool bigtiff,
                                                                      const std::endian& endianness);

// Reads `size` bytes in the file's byte order; throws std::ios_base::failure when short.
void ReadUint(std::istream& in, uint16_t& value, std::endian endianness, std::size_t size);
void ReadUint(std::istream& in, uint32_t& value, std::endian endianness, std::size_t size);
void ReadUint(std::istream& in, uint64_t& value, std::endian endianness, std::size_t size);

// Writes the low `size` bytes of value in the file's byte order; size above 8 throws std::logic_error.
void WriteUint(std::ostream& out, uint64_t value, std::endian endianness, std::size_t size);

// Reads one directory entry of directory `ifd_index` at in's position, adjusts it and
// writes it at out's position.
void ProcessTiffTag(std::istream& in, std::ostream& out, std::endian endianness, bool bigtiff, uint64_t ifd_index,
                    TiffRewriteState& state, TiffDirectoryLayout& layout);

}  // namespace tarn::metadata
