// Builds synthetic CZI files laid out as the format note describes: a file
// header, a metadata segment, sub-blocks and the sub-block directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "readers/sparse_file.hpp"

namespace tarn::test {

struct CziDimension {
  char letter;
  int32_t size;
  int32_t stored_size;
};

struct CziBlockSpec {
  int32_t pixel_type = 1;  // Gray16
  int32_t width = 5;
  int32_t height = 3;
  int32_t logical_width = 0;  // Size of X; 0 means the stored width
  int32_t compression = 0;
  uint8_t pyramid_type = 0;
  int32_t file_part = 0;
  std::vector<CziDimension> extra{{'C', 1, 1}, {'Z', 1, 1}};
  int32_t metadata_size = 11;
  int32_t attachment_size = 0;
  std::optional<int64_t> data_size;      // default: width x height x bytes per pixel
  std::optional<uint64_t> position;      // default: appended after the previous segment
  std::optional<int32_t> copy_pixel_type;  // the sub-block's own copy of its entry
  std::string id = "ZISRAWSUBBLOCK";
  uint64_t directory_entries = 1;        // times the directory lists this block
};

struct CziSpec {
  std::vector<CziBlockSpec> blocks{CziBlockSpec{}};
  int32_t update_pending = 0;
  std::string schema = "DV";
  std::optional<int32_t> entry_count;
};

struct BuiltCzi {
  SparseFile file;
  std::vector<uint64_t> segments;  // sub-block segment offsets
  std::vector<uint64_t> pixels;    // first pixel byte of each sub-block
  uint64_t directory = 0;
};

inline uint64_t CziBytesPerPixel(int32_t pixel_type) {
  switch (pixel_type) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 4;
    case 3: return 3;
    case 4: return 6;
    case 9: return 4;
    default: return 8;
  }
}

inline std::vector<uint8_t> CziSegment(const std::string& id, const std::vector<uint8_t>& body) {
  Bytes bytes;
  const uint64_t allocated = (body.size() + 31) / 32 * 32;
  bytes.Text(id).ZeroPadTo(16).Le(allocated).Le(uint64_t{body.size()}).Raw(body).ZeroPadTo(32 + allocated);
  return bytes.data;
}

inline std::vector<uint8_t> CziEntry(const CziBlockSpec& block, int32_t pixel_type, uint64_t position,
                                     const std::string& schema) {
  Bytes bytes;
  bytes.Text(schema).Le(pixel_type).Le(position).Le(block.file_part).Le(block.compression).Le(block.pyramid_type);
  bytes.Zeros(5).Le(static_cast<int32_t>(2 + block.extra.size()));
  auto dimension = [&](char letter, int32_t start, int32_t size, int32_t stored) {
    bytes.Le(static_cast<uint8_t>(letter)).Zeros(3).Le(start).Le(size).Le(uint32_t{0}).Le(stored);
  };
  dimension('X', -127, block.logical_width ? block.logical_width : block.width, block.width);
  dimension('Y', 0, block.height, block.height);
  for (const auto& d : block.extra) dimension(d.letter, 0, d.size, d.stored_size);
  return bytes.data;
}

inline BuiltCzi BuildCzi(const CziSpec& spec) {
  BuiltCzi built;
  SparseFile& file = built.file;
  file.size = 32 + 512;  // the file header, written last
  file.Append(CziSegment("ZISRAWMETADATA", Bytes().Le(int32_t{20}).Zeros(252).Text("<ImageDocument/>    ").data));
  // Freed space with leftovers, as writers leave it.
  file.Append(CziSegment("DELETED", Pattern(70, 3)));

  for (size_t i = 0; i < spec.blocks.size(); ++i) {
    const CziBlockSpec& block = spec.blocks[i];
    const uint64_t pixels_size = uint64_t(block.width) * block.height * CziBytesPerPixel(block.pixel_type);
    const int64_t data_size = block.data_size.value_or(static_cast<int64_t>(pixels_size));
    const uint64_t position = block.position.value_or(file.size);
    const auto copy = CziEntry(block, block.copy_pixel_type.value_or(block.pixel_type), position, "DV");
    Bytes body;
    body.Le(block.metadata_size).Le(block.attachment_size).Le(data_size).Raw(copy);
    body.ZeroPadTo(std::max<uint64_t>(256, 16 + copy.size()));
    const uint64_t header_size = body.data.size();
    body.Text("<METADATA/>").ZeroPadTo(header_size + block.metadata_size);
    body.Raw(Pattern(static_cast<uint64_t>(data_size), static_cast<uint8_t>(i + 1)))
        .Raw(Pattern(block.attachment_size, 0xA0));
    file.Put(position, CziSegment(block.id, body.data));
    built.segments.push_back(position);
    built.pixels.push_back(position + 32 + header_size + block.metadata_size);
  }

  built.directory = file.size;
  Bytes directory;
  uint64_t count = 0;
  Bytes entries;
  for (size_t i = 0; i < spec.blocks.size(); ++i) {
    for (uint64_t n = 0; n < spec.blocks[i].directory_entries; ++n, ++count) {
      entries.Raw(CziEntry(spec.blocks[i], spec.blocks[i].pixel_type, built.segments[i], spec.schema));
    }
  }
  directory.Le(spec.entry_count.value_or(static_cast<int32_t>(count))).Zeros(124).Raw(entries.data);
  file.Append(CziSegment("ZISRAWDIRECTORY", directory.data));

  Bytes header;
  header.Le(int32_t{1}).Le(int32_t{0}).Zeros(8).Zeros(32).Le(int32_t{0}).Le(built.directory).Le(uint64_t{32 + 512});
  header.Le(spec.update_pending).Le(uint64_t{0}).ZeroPadTo(512);
  file.Put(0, CziSegment("ZISRAWFILE", header.data));
  return built;
}

}  // namespace tarn::test
