#include "tarn/archive/plane_positions.hpp"

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>

#include "tarn/archive/archive_byte_source.hpp"
#include "tarn/file/metadata/readers/czi_directory.hpp"
#include "tarn/file/metadata/readers/nd2_reader.hpp"
#include "tarn/file/metadata/readers/tiff/log_handlers.hpp"
#include "tarn/logger.hpp"

namespace tarn::archive {
namespace {

using Positions = std::map<uint64_t, Position>;  // by source offset

enum class Kind { Unknown, Tiff, Nd2, Czi };

Kind KindOf(metadata::ByteSource& source) {
  std::array<uint8_t, 16> start{};
  if (source.Size() < start.size()) return Kind::Unknown;
  source.ReadAt(0, start);
  if ((start[0] == 'I' && start[1] == 'I' && (start[2] == 42 || start[2] == 43) && start[3] == 0) ||
      (start[0] == 'M' && start[1] == 'M' && start[2] == 0 && (start[3] == 42 || start[3] == 43))) {
    return Kind::Tiff;
  }
  if (std::memcmp(start.data(), "ZISRAWFILE", 10) == 0) return Kind::Czi;
  // The signature chunk's magic number, little-endian.
  if (start[0] == 0xDA && start[1] == 0xCE && start[2] == 0xBE && start[3] == 0x0A) return Kind::Nd2;
  return Kind::Unknown;
}

// libtiff reads the original through these, from a position it keeps in `Handle`.
struct Handle {
  metadata::ByteSource* source;
  uint64_t position = 0;
};

tsize_t TiffRead(thandle_t opaque, tdata_t data, tsize_t size) {
  auto* handle = static_cast<Handle*>(opaque);
  const uint64_t total = handle->source->Size();
  if (handle->position >= total || size <= 0) return 0;
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), total - handle->position);
  try {
    handle->source->ReadAt(handle->position, std::span(static_cast<uint8_t*>(data), count));
  } catch (const std::exception& error) {
    Logger()->warn("Reading the original's TIFF headers failed: {}", error.what());
    return -1;
  }
  handle->position += count;
  return static_cast<tsize_t>(count);
}
tsize_t TiffWrite(thandle_t, tdata_t, tsize_t) { return -1; }
toff_t TiffSeek(thandle_t opaque, toff_t offset, int whence) {
  auto* handle = static_cast<Handle*>(opaque);
  const uint64_t base = whence == SEEK_CUR ? handle->position : whence == SEEK_END ? handle->source->Size() : 0;
  handle->position = base + offset;
  return handle->position;
}
int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t opaque) { return static_cast<Handle*>(opaque)->source->Size(); }
int TiffMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void TiffUnmap(thandle_t, tdata_t, toff_t) {}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

int64_t CountOf(const std::map<std::string, std::string>& values, const std::string& key) {
  const auto found = values.find(key);
  if (found == values.end()) return 1;
  try {
    return std::max<int64_t>(1, std::stoll(found->second));
  } catch (const std::exception&) {
    return 1;
  }
}

// ImageJ stacks: the planes lie back to back from the first directory's first strip, in
// channel, slice, frame order (channel varying fastest).
void AddImageJPositions(TIFF* tiff, const Archive& archive, Positions& positions) {
  const char* description = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) != 1 || description == nullptr) return;
  const auto values = KeyValues(description);
  if (!values.contains("ImageJ")) return;
  uint32_t width = 0, height = 0;
  uint16_t bits = 0;
  const uint64_t* strips = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGELENGTH, &height) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) != 1 ||
      TIFFGetFieldDefaulted(tiff, TIFFTAG_STRIPOFFSETS, &strips) != 1 || strips == nullptr ||
      TIFFNumberOfStrips(tiff) == 0) {
    return;
  }
  const uint64_t plane_bytes = uint64_t{width} * height * ((bits + 7u) / 8u);
  const int64_t images = CountOf(values, "images");
  const int64_t channels = CountOf(values, "channels"), slices = CountOf(values, "slices");
  const bool hyperstack = values.contains("channels") || values.contains("slices") || values.contains("frames");
  if (plane_bytes == 0) return;
  for (const PlaneInfo& plane : archive.Planes()) {
    if (plane.source_offset < strips[0] || plane.PlaneBytes() != plane_bytes) continue;
    const uint64_t distance = plane.source_offset - strips[0];
    const auto k = static_cast<int64_t>(distance / plane_bytes);
    if (distance % plane_bytes != 0 || k >= images) continue;
    Position& position = positions[plane.source_offset];
    if (hyperstack) {
      position.emplace_back("channel", k % channels);
      position.emplace_back("slice", k / channels % slices);
      position.emplace_back("frame", k / (channels * slices));
    } else {
      position.emplace_back("image", k);
    }
  }
}

// Every strip or tile of the current directory lies at `position` (the first one to claim
// an offset keeps it).
void AddDataPositions(TIFF* tiff, const Position& position, Positions& positions) {
  const bool tiled = TIFFIsTiled(tiff);
  const uint64_t* offsets = nullptr;
  if (TIFFGetField(tiff, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) != 1 || offsets == nullptr) {
    return;
  }
  const uint32_t count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  for (uint32_t i = 0; i < count; ++i) positions.emplace(offsets[i], position);
}

// Images in the SubIFDs of the current directory (the raw image of most DNGs), then back.
void AddSubDirectoryPositions(TIFF* tiff, int64_t directory, Positions& positions) {
  uint16_t count = 0;
  const uint64_t* offsets = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_SUBIFD, &count, &offsets) != 1 || count == 0 || offsets == nullptr) return;
  const std::vector<uint64_t> sub_directories(offsets, offsets + count);  // libtiff re-reads its array
  const tdir_t current = TIFFCurrentDirectory(tiff);
  for (size_t k = 0; k < sub_directories.size(); ++k) {
    if (TIFFSetSubDirectory(tiff, sub_directories[k]) != 1) continue;
    AddDataPositions(tiff, {{"directory", directory}, {"subdirectory", static_cast<int64_t>(k)}}, positions);
  }
  if (TIFFSetDirectory(tiff, current) != 1) throw std::runtime_error("cannot return from a SubIFD");
}

Positions TiffPositions(metadata::ByteSource& source, const Archive& archive) {
  TIFFSetWarningHandler(metadata::WarningsHandler);
  TIFFSetErrorHandler(metadata::ErrorsHandler);
  Handle handle{&source};
  const std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpen("original", "rm", &handle, TiffRead, TiffWrite,
                                                              TiffSeek, TiffClose, TiffSize, TiffMap, TiffUnmap));
  Positions positions;
  if (!tiff) {
    Logger()->warn("The original of {} does not open as a TIFF; its planes have no positions",
                   archive.path().string());
    return positions;
  }
  std::set<uint64_t> visited;
  int64_t directory = 0;
  do {
    if (!visited.insert(TIFFCurrentDirOffset(tiff.get())).second) break;
    AddDataPositions(tiff.get(), {{"directory", directory}}, positions);
    AddSubDirectoryPositions(tiff.get(), directory, positions);
    ++directory;
  } while (TIFFReadDirectory(tiff.get()));
  if (TIFFSetDirectory(tiff.get(), 0) == 1) AddImageJPositions(tiff.get(), archive, positions);
  return positions;
}

Positions Nd2Positions(metadata::ByteSource& source) {
  Positions positions;
  for (const metadata::nd2::Frame& frame : metadata::nd2::FindFrames(source)) {
    positions[frame.offset].emplace_back("sequence", static_cast<int64_t>(frame.index));
  }
  return positions;
}

Positions CziPositions(metadata::ByteSource& source) {
  Positions positions;
  for (const metadata::czi::Plane& plane : metadata::czi::FindPlanes(source)) {
    Position& position = positions[plane.offset];
    for (const auto& [letter, start] : plane.coordinates) position.emplace_back(std::string(1, letter), start);
  }
  return positions;
}

}  // namespace

std::vector<Position> LocatePlanes(const Archive& archive) {
  std::vector<Position> result(archive.Planes().size());
  ArchiveByteSource source(archive);
  Positions positions;
  try {
    switch (KindOf(source)) {
      case Kind::Tiff: positions = TiffPositions(source, archive); break;
      case Kind::Nd2: positions = Nd2Positions(source); break;
      case Kind::Czi: positions = CziPositions(source); break;
      case Kind::Unknown: return result;
    }
  } catch (const std::exception& error) {
    Logger()->warn("The headers of the original of {} could not be walked: {}; its planes have no positions",
                   archive.path().string(), error.what());
    return result;
  }
  for (size_t i = 0; i < result.size(); ++i) {
    const auto found = positions.find(archive.Planes()[i].source_offset);
    if (found != positions.end()) result[i] = found->second;
  }
  return result;
}

}  // namespace tarn::archive
