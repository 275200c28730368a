#include "tarn/file/metadata/readers/czi_directory.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tarn/logger.hpp"

namespace tarn::metadata::czi {
namespace {

constexpr uint64_t kSegmentHeaderSize = 32;
constexpr uint64_t kFileHeaderBodySize = 80;    // fields we read of the 512-byte body
constexpr uint64_t kDirectoryFixedSize = 128;   // entry count and spare bytes
constexpr uint64_t kEntryFixedSize = 32;        // a DV entry before its dimensions
constexpr uint64_t kDimensionSize = 20;
constexpr uint64_t kSubBlockFixedSize = 16;     // metadata, attachment and data sizes
constexpr uint64_t kSubBlockMinHeader = 256;    // fixed part and entry copy, padded
constexpr int32_t kMaxDimensions = 40;
// Image chunks measure their planes in 32 bits.
constexpr uint64_t kMaxPlaneBytes = (uint64_t{1} << 32) - 1;

struct Segment {
  std::string id;
  uint64_t offset = 0;
  uint64_t body_size = 0;  // used size, or the allocated size when unused is 0

  uint64_t BodyOffset() const { return offset + kSegmentHeaderSize; }
};

// The segment at `offset`; nothing when its header or body leaves the file.
std::optional<Segment> ReadSegment(ByteSource& source, uint64_t offset) {
  if (!RangeFits(offset, kSegmentHeaderSize, source.Size())) return std::nullopt;
  std::array<uint8_t, kSegmentHeaderSize> bytes{};
  source.ReadAt(offset, bytes);
  Segment segment;
  segment.offset = offset;
  const auto* id = reinterpret_cast<const char*>(bytes.data());
  segment.id.assign(id, std::find(id, id + 16, '\0'));
  const int64_t allocated = LoadLittleEndian<int64_t>(&bytes[16]);
  const int64_t used = LoadLittleEndian<int64_t>(&bytes[24]);
  if (allocated < 0 || used < 0) return std::nullopt;
  segment.body_size = static_cast<uint64_t>(used > 0 ? used : allocated);
  if (!RangeFits(segment.BodyOffset(), segment.body_size, source.Size())) return std::nullopt;
  return segment;
}

struct Dimension {
  char letter = 0;
  int32_t start = 0;
  int32_t size = 0;
  int32_t stored_size = 0;
};

struct Entry {
  int32_t pixel_type = 0;
  uint64_t file_position = 0;
  int32_t file_part = 0;
  int32_t compression = 0;
  uint8_t pyramid_type = 0;
  std::vector<Dimension> dimensions;
};

// A DV entry from `cursor`; throws when the walk cannot go on.
Entry ReadEntry(ByteCursor& cursor) {
  const auto fixed = cursor.Take(kEntryFixedSize);
  if (fixed[0] != 'D' || fixed[1] != 'V') {
    throw std::runtime_error(fixed[0] == 'D' && fixed[1] == 'E' ? "CZI directory holds DE entries"
                                                                : "CZI directory entry of unknown schema");
  }
  Entry entry;
  entry.pixel_type = LoadLittleEndian<int32_t>(&fixed[2]);
  const int64_t position = LoadLittleEndian<int64_t>(&fixed[6]);
  entry.file_position = position < 0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(position);
  entry.file_part = LoadLittleEndian<int32_t>(&fixed[14]);
  entry.compression = LoadLittleEndian<int32_t>(&fixed[18]);
  entry.pyramid_type = fixed[22];
  const int32_t count = LoadLittleEndian<int32_t>(&fixed[28]);
  if (count < 0 || count > kMaxDimensions) {
    throw std::runtime_error("CZI directory entry with " + std::to_string(count) + " dimensions");
  }
  const auto dimensions = cursor.Take(kDimensionSize * static_cast<uint64_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* d = &dimensions[kDimensionSize * static_cast<uint64_t>(i)];
    Dimension dimension;
    dimension.letter = static_cast<char>(d[0] >= 'a' && d[0] <= 'z' ? d[0] - 'a' + 'A' : d[0]);
    dimension.start = LoadLittleEndian<int32_t>(&d[4]);
    dimension.size = LoadLittleEndian<int32_t>(&d[8]);
    dimension.stored_size = LoadLittleEndian<int32_t>(&d[16]);
    entry.dimensions.push_back(dimension);
  }
  return entry;
}

// A plane candidate from a directory entry alone: uncompressed, in this file,
// a supported pixel type, one X by Y plane at full resolution.
std::optional<Plane> PlaneFromEntry(const Entry& entry) {
  const auto layout = LayoutOf(entry.pixel_type);
  if (!layout || entry.compression != 0 || entry.file_part != 0 || entry.pyramid_type != 0) return std::nullopt;
  std::optional<int32_t> width, height;
  std::vector<std::pair<char, int32_t>> coordinates;
  for (const Dimension& d : entry.dimensions) {
    const int32_t stored = d.stored_size == 0 ? d.size : d.stored_size;
    if (d.letter == 'X' || d.letter == 'Y') {
      auto& extent = d.letter == 'X' ? width : height;
      // Twice the same axis, or a down-scaled (pyramid) extent.
      if (extent || stored != d.size || stored <= 0) return std::nullopt;
      extent = stored;
    } else if (d.size != 1) {
      // Several Z, T, C... planes in one sub-block, or a pyramid mosaic index.
      return std::nullopt;
    } else {
      coordinates.emplace_back(d.letter, d.start);
    }
  }
  if (!width || !height) return std::nullopt;
  Plane plane;
  plane.width = static_cast<uint32_t>(*width);
  plane.height = static_cast<uint32_t>(*height);
  plane.pixel_type = static_cast<PixelType>(entry.pixel_type);
  plane.coordinates = std::move(coordinates);
  plane.length = uint64_t{plane.width} * plane.height * layout->BytesPerPixel();
  if (plane.length > kMaxPlaneBytes) return std::nullopt;
  return plane;
}

// Locates the pixel data inside the sub-block the entry points at; nothing when
// the segment is not a sub-block, disagrees with the entry, or is too short.
std::optional<uint64_t> PixelOffset(ByteSource& source, const Entry& entry, const Plane& plane) {
  const auto segment = ReadSegment(source, entry.file_position);
  if (!segment || segment->id != "ZISRAWSUBBLOCK") return std::nullopt;
  if (segment->body_size < kSubBlockFixedSize + kEntryFixedSize) return std::nullopt;
  // Only the sub-block's header is read here, never its pixels.
  constexpr uint64_t kLargestHeader = kSubBlockFixedSize + kEntryFixedSize + kDimensionSize * kMaxDimensions;
  ByteCursor cursor(source, segment->BodyOffset(), segment->BodyOffset() + segment->body_size, kLargestHeader);
  const auto sizes = cursor.Take(kSubBlockFixedSize);
  const int32_t metadata_size = LoadLittleEndian<int32_t>(&sizes[0]);
  const int32_t attachment_size = LoadLittleEndian<int32_t>(&sizes[4]);
  const int64_t data_size = LoadLittleEndian<int64_t>(&sizes[8]);
  if (metadata_size < 0 || attachment_size < 0 || data_size < 0) return std::nullopt;
  if (static_cast<uint64_t>(data_size) != plane.length) return std::nullopt;

  Entry copy;
  try {
    copy = ReadEntry(cursor);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  // The copy must describe the same pixels the directory does.
  const auto copied = PlaneFromEntry(copy);
  if (copy.pixel_type != entry.pixel_type || copy.compression != entry.compression || !copied ||
      copied->width != plane.width || copied->height != plane.height) {
    return std::nullopt;
  }
  const uint64_t header = std::max(kSubBlockMinHeader, kSubBlockFixedSize + kEntryFixedSize +
                                                           kDimensionSize * copy.dimensions.size());
  const uint64_t data_in_body = header + static_cast<uint64_t>(metadata_size);
  if (data_in_body > segment->body_size || plane.length > segment->body_size - data_in_body) return std::nullopt;
  return segment->BodyOffset() + data_in_body;
}

// The directory segment named by the file header.
Segment FindDirectory(ByteSource& source) {
  const auto header = ReadSegment(source, 0);
  if (!header || header->id != "ZISRAWFILE") throw std::runtime_error("not a CZI file");
  if (header->body_size < kFileHeaderBodySize) throw std::runtime_error("CZI file header too short");
  const auto body = source.ReadAt(header->BodyOffset(), kFileHeaderBodySize);
  if (LoadLittleEndian<int32_t>(&body[68]) != 0) {
    throw std::runtime_error("CZI file was left with an update pending");
  }
  const int64_t position = LoadLittleEndian<int64_t>(&body[52]);
  const auto directory = position > 0 ? ReadSegment(source, static_cast<uint64_t>(position)) : std::nullopt;
  if (!directory || directory->id != "ZISRAWDIRECTORY") {
    throw std::runtime_error("CZI file has no readable sub-block directory");
  }
  if (directory->body_size < kDirectoryFixedSize) throw std::runtime_error("CZI directory too short");
  return *directory;
}

}  // namespace

std::optional<PixelLayout> LayoutOf(int32_t pixel_type) {
  switch (static_cast<PixelType>(pixel_type)) {
    case PixelType::kGray8: return PixelLayout{1, 1};
    case PixelType::kGray16: return PixelLayout{1, 2};
    case PixelType::kBgr24: return PixelLayout{3, 1};
    case PixelType::kBgr48: return PixelLayout{3, 2};
    case PixelType::kBgra32: return PixelLayout{4, 1};
  }
  return std::nullopt;
}

std::vector<Plane> FindPlanes(ByteSource& source) {
  const Segment directory = FindDirectory(source);
  ByteCursor cursor(source, directory.BodyOffset(), directory.BodyOffset() + directory.body_size);
  const int32_t count = LoadLittleEndian<int32_t>(cursor.Take(kDirectoryFixedSize).data());
  if (count < 0 || static_cast<uint64_t>(count) > cursor.Remaining() / kEntryFixedSize) {
    throw std::runtime_error("CZI directory claims " + std::to_string(count) + " entries");
  }

  std::vector<Plane> planes;
  std::set<uint64_t> seen_positions;
  for (int32_t i = 0; i < count; ++i) {
    const Entry entry = ReadEntry(cursor);
    // Several entries may name one sub-block; it is described once.
    if (!seen_positions.insert(entry.file_position).second) continue;
    auto plane = PlaneFromEntry(entry);
    if (!plane) continue;
    const auto offset = PixelOffset(source, entry, *plane);
    if (!offset) {
      Logger()->info("CZI sub-block at {} does not match its directory entry; kept as it is", entry.file_position);
      continue;
    }
    plane->offset = *offset;
    planes.push_back(*plane);
  }

  std::sort(planes.begin(), planes.end(), [](const Plane& a, const Plane& b) { return a.offset < b.offset; });
  // Overlapping sub-blocks mean a damaged directory: keep the first, leave the rest as they are.
  std::vector<Plane> disjoint;
  for (const Plane& plane : planes) {
    if (disjoint.empty() || disjoint.back().offset + disjoint.back().length <= plane.offset) {
      disjoint.push_back(plane);
    }
  }
  return disjoint;
}

}  // namespace tarn::metadata::czi
