#include "tarn/file/metadata/readers/tiff/segmented_images.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "tarn/codecs/lossless_jpeg.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/reencoded_image.hpp"
#include "tarn/file/metadata/readers/tiff/directory.hpp"
#include "tarn/file/readers.hpp"
#include "tarn/logger.hpp"

namespace tarn::metadata {
namespace {

using chunk::reencoded::Coding;
using chunk::reencoded::SourceCoding;

constexpr uint16_t kCompressionNone = 1;
// Runs of strips are cut at this many decoded bytes, so that a striped plane is still
// coded on several threads and no chunk needs much memory.
constexpr uint64_t kLargestStripRun = uint64_t{32} << 20;

template <class T>
bool Get(TIFF* tiff, uint32_t tag, T& value) {
  return TIFFGetFieldDefaulted(tiff, tag, &value) == 1;
}

std::vector<uint64_t> Array(TIFF* tiff, uint32_t tag, uint32_t count) {
  const uint64_t* values = nullptr;
  if (TIFFGetField(tiff, tag, &values) != 1 || values == nullptr) return {};
  return std::vector<uint64_t>(values, values + count);
}

// The directory's layout, read once.
struct Layout {
  uint16_t compression = 0;
  bool tiled = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t piece_width = 0;   // tile width, or the image width for strips
  uint32_t piece_height = 0;  // tile length, or rows per strip
  uint16_t bits = 0;
  uint16_t samples = 1;       // in each piece (1 for separate planes)
  uint16_t predictor = 1;
  bool big_endian = false;
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> counts;
  uint32_t pieces_per_plane = 0;
};

// Rows of piece `index` (strips may be shorter at the bottom; tiles never are).
uint32_t PieceRows(const Layout& layout, uint32_t index) {
  if (layout.tiled) return layout.piece_height;
  const uint32_t first = (index % layout.pieces_per_plane) * layout.piece_height;
  return std::min(layout.piece_height, layout.height - first);
}

uint64_t RowBytes(const Layout& layout) {
  return uint64_t{layout.piece_width} * layout.samples * (layout.bits / 8);
}

std::unique_ptr<Chunk> UncompressedTile(const Layout& layout, const chunk::image::Calibration& calibration,
                                        std::endian endianness) {
  return std::make_unique<chunk::Image>(layout.piece_width * layout.samples, layout.piece_height,
                                        static_cast<uint16_t>(layout.bits / 8), endianness, calibration);
}

// A JPEG piece whose header is not one of lossless JPEG (a DCT-coded DNG, a TIFF whose
// tables lie in JPEGTables) is not worth reading again at encode time.
bool HasLosslessJpegHeader(TIFF* tiff, const Layout& layout, uint32_t index) {
  std::vector<uint8_t> start(std::min<uint64_t>(layout.counts[index], 65536));
  const tmsize_t got = layout.tiled ? TIFFReadRawTile(tiff, index, start.data(), static_cast<tmsize_t>(start.size()))
                                    : TIFFReadRawStrip(tiff, index, start.data(), static_cast<tmsize_t>(start.size()));
  try {
    if (got <= 0) throw codecs::ljpeg::FormatError("its bytes cannot be read");
    codecs::ljpeg::ParseHeader(std::span(start).first(static_cast<size_t>(got)));
    return true;
  } catch (const codecs::ljpeg::FormatError& error) {
    Logger()->warn("JPEG image data at offset {} kept as it is: {}", layout.offsets[index], error.what());
    return false;
  }
}

std::unique_ptr<Chunk> LosslessJpegPiece(const Layout& layout, uint32_t index,
                                         const chunk::image::Calibration& calibration) {
  SourceCoding coding;
  coding.coding = Coding::kLosslessJpeg;
  coding.segments = {layout.counts[index]};
  const uint32_t width = layout.piece_width * layout.samples;
  const uint32_t rows = PieceRows(layout, index);
  coding.segment_pixel_bytes = uint64_t{width} * rows * 2;
  return std::make_unique<chunk::ReencodedImage>(Codec::None, layout.counts[index], std::move(coding), width, rows, 2,
                                                 std::endian::little, calibration, std::nullopt);
}

// LZW or PackBits pieces [first, last] lying back to back.
std::unique_ptr<Chunk> RunOfPieces(const Layout& layout, uint32_t first, uint32_t last,
                                   const chunk::image::Calibration& calibration, std::endian endianness) {
  SourceCoding coding;
  coding.coding = layout.compression == kCompressionLzw ? Coding::kLzw : Coding::kPackBits;
  coding.segments.assign(layout.counts.begin() + first, layout.counts.begin() + last + 1);
  coding.row_bytes = RowBytes(layout);
  coding.segment_pixel_bytes = coding.row_bytes * layout.piece_height;
  coding.predictor = layout.predictor;
  coding.sample_bytes = static_cast<uint16_t>(layout.bits / 8);
  coding.samples_per_pixel = layout.samples;
  coding.big_endian = layout.big_endian;
  uint32_t rows = 0;
  for (uint32_t i = first; i <= last; ++i) rows += PieceRows(layout, i);
  const uint64_t length = coding.SourceLength();
  return std::make_unique<chunk::ReencodedImage>(Codec::None, length, std::move(coding),
                                                 layout.piece_width * layout.samples, rows,
                                                 static_cast<uint16_t>(layout.bits / 8), endianness, calibration,
                                                 std::nullopt);
}

std::optional<Layout> ReadLayout(TIFF* tiff) {
  const auto logger = Logger();
  Layout layout;
  layout.tiled = TIFFIsTiled(tiff) != 0;
  uint16_t samples_per_pixel = 1;
  uint16_t planar = PLANARCONFIG_CONTIG;
  if (!Get(tiff, TIFFTAG_COMPRESSION, layout.compression) || !Get(tiff, TIFFTAG_IMAGEWIDTH, layout.width) ||
      !Get(tiff, TIFFTAG_IMAGELENGTH, layout.height) || !Get(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits) ||
      !Get(tiff, TIFFTAG_SAMPLESPERPIXEL, samples_per_pixel) || !Get(tiff, TIFFTAG_PLANARCONFIG, planar)) {
    logger->warn("Skip image directory missing a baseline tag of its layout");
    return std::nullopt;
  }
  // Only codecs with a predictor know the tag; for the others libtiff may hand out 0.
  if (!Get(tiff, TIFFTAG_PREDICTOR, layout.predictor) || layout.predictor == 0 ||
      layout.compression == kCompressionJpeg) {
    layout.predictor = 1;
  }
  layout.samples = planar == PLANARCONFIG_SEPARATE ? 1 : samples_per_pixel;
  layout.big_endian = TIFFIsBigEndian(tiff) != 0;
  uint32_t count = 0;
  if (layout.tiled) {
    if (!Get(tiff, TIFFTAG_TILEWIDTH, layout.piece_width) || !Get(tiff, TIFFTAG_TILELENGTH, layout.piece_height)) {
      logger->warn("Skip tiled image directory without tile size");
      return std::nullopt;
    }
    count = TIFFNumberOfTiles(tiff);
    layout.offsets = Array(tiff, TIFFTAG_TILEOFFSETS, count);
    layout.counts = Array(tiff, TIFFTAG_TILEBYTECOUNTS, count);
  } else {
    layout.piece_width = layout.width;
    uint32_t rows = 0;
    Get(tiff, TIFFTAG_ROWSPERSTRIP, rows);
    layout.piece_height = std::min(rows == 0 ? layout.height : rows, layout.height);
    count = TIFFNumberOfStrips(tiff);
    layout.offsets = Array(tiff, TIFFTAG_STRIPOFFSETS, count);
    layout.counts = Array(tiff, TIFFTAG_STRIPBYTECOUNTS, count);
  }
  const uint32_t planes = planar == PLANARCONFIG_SEPARATE ? samples_per_pixel : 1;
  if (count == 0 || planes == 0 || count % planes != 0 || layout.offsets.size() != count ||
      layout.counts.size() != count || layout.width == 0 || layout.height == 0 || layout.piece_width == 0 ||
      layout.piece_height == 0 || layout.samples == 0) {
    logger->warn("Skip image directory whose strips or tiles do not fit its size");
    return std::nullopt;
  }
  layout.pieces_per_plane = count / planes;
  return layout;
}

}  // namespace

bool IsSegmentedDirectory(TIFF* tiff) {
  uint16_t compression = kCompressionNone;
  Get(tiff, TIFFTAG_COMPRESSION, compression);
  return TIFFIsTiled(tiff) || compression == kCompressionLzw || compression == kCompressionJpeg ||
         compression == kCompressionPackBits;
}

ChunkMap ReadSegmentedImages(TIFF* tiff, const Ifd& ifd) {
  ChunkMap chunks;
  const auto logger = Logger();
  const std::optional<Layout> read = ReadLayout(tiff);
  if (!read) return chunks;
  const Layout& layout = *read;
  const bool coded = layout.compression != kCompressionNone;
  if (layout.compression != kCompressionNone && layout.compression != kCompressionLzw &&
      layout.compression != kCompressionJpeg && layout.compression != kCompressionPackBits) {
    logger->warn("Skip image directory with compression = {}", layout.compression);
    return chunks;
  }
  if (layout.compression != kCompressionJpeg && layout.bits != 8 && layout.bits != 16 && layout.bits != 32) {
    logger->warn("Skip image directory with {} bits per sample in strips or tiles", layout.bits);
    return chunks;
  }
  if (coded && layout.predictor != 1 && (layout.predictor != 2 || layout.compression == kCompressionJpeg)) {
    logger->warn("Skip image directory with predictor {}", layout.predictor);
    return chunks;
  }
  const std::endian endianness = layout.big_endian ? std::endian::big : std::endian::little;
  uint16_t samples_per_pixel = 1;
  Get(tiff, TIFFTAG_SAMPLESPERPIXEL, samples_per_pixel);
  const chunk::image::Calibration calibration =
      samples_per_pixel == 1 ? ReadCalibrationFromDirectory(tiff, ifd) : chunk::image::Calibration{};

  // Pieces smaller than this stay in the plain data around them: a file may hold only so
  // many chunks, and a chunk of a few bytes gains nothing.
  auto keep = [&](uint64_t offset, std::unique_ptr<Chunk> chunk) {
    if (chunk->length >= kMinBytesPerChunk) chunks.insert_or_assign(offset, std::move(chunk));
  };
  const uint32_t count = static_cast<uint32_t>(layout.offsets.size());
  for (uint32_t i = 0; i < count; ++i) {
    if (layout.counts[i] == 0) continue;
    if (layout.compression == kCompressionNone) {
      std::unique_ptr<Chunk> tile = UncompressedTile(layout, calibration, endianness);
      // A tile stored shorter than its pixels cannot be one plane; it stays plain data.
      if (layout.counts[i] < tile->length) continue;
      keep(layout.offsets[i], std::move(tile));
    } else if (layout.compression == kCompressionJpeg) {
      if (layout.counts[i] >= kMinBytesPerChunk && HasLosslessJpegHeader(tiff, layout, i)) {
        keep(layout.offsets[i], LosslessJpegPiece(layout, i, calibration));
      }
    } else if (layout.tiled) {
      keep(layout.offsets[i], RunOfPieces(layout, i, i, calibration, endianness));
    } else {
      // Strips back to back in one plane form one chunk, up to a size.
      uint32_t last = i;
      uint64_t decoded = RowBytes(layout) * PieceRows(layout, i);
      while (last + 1 < count && (last + 1) % layout.pieces_per_plane != 0 && layout.counts[last + 1] != 0 &&
             layout.offsets[last + 1] == layout.offsets[last] + layout.counts[last] &&
             decoded + RowBytes(layout) * PieceRows(layout, last + 1) <= kLargestStripRun) {
        ++last;
        decoded += RowBytes(layout) * PieceRows(layout, last);
      }
      keep(layout.offsets[i], RunOfPieces(layout, i, last, calibration, endianness));
      i = last;
    }
  }
  return chunks;
}

}  // namespace tarn::metadata
