#include "tarn/file/metadata/readers/tiff.hpp"

// Pages name only what differs from the defaults of TiffPage.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <filesystem>

#include <gtest/gtest.h>

#include "file/tiff_bytes.hpp"
#include "log_recorder.hpp"
#include "readers/tiff_writer.hpp"
#include "tarn/file/metadata/readers/tiff/directory.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/readers.hpp"
#include "test_util.hpp"

namespace tarn::metadata {
namespace {

using Brimlake::Nivra::ColorFilterArray;
using test::LogRecorder;
using test::TiffPage;
using test::WriteTiff;

const chunk::Image& ImageAt(const ChunkMap& chunks, uint64_t offset) {
  const auto found = chunks.find(offset);
  if (found == chunks.end()) throw std::runtime_error("no chunk at " + std::to_string(offset));
  const auto* image = dynamic_cast<const chunk::Image*>(found->second.get());
  if (image == nullptr) throw std::runtime_error("chunk is no image");
  return *image;
}

// Offsets of the first strip of every main directory, as libtiff sees them.
std::vector<uint64_t> StripOffsets(const std::filesystem::path& path) {
  std::vector<uint64_t> offsets;
  TIFF* tiff = TIFFOpen(path.string().c_str(), "r");
  do {
    offsets.push_back(TIFFGetStrileOffset(tiff, 0));
  } while (TIFFReadDirectory(tiff));
  TIFFClose(tiff);
  return offsets;
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(TiffReader, EveryUncompressedPlaneBecomesAnImage) {
  test::TempDir dir;
  for (const char* mode : {"w", "wb", "w8", "w8b"}) {
    SCOPED_TRACE(mode);
    const auto path = dir / "stack.tif";
    WriteTiff(path, {TiffPage{}, TiffPage{.width = 32, .height = 4}}, mode);
    const ChunkMap chunks = ReadTiff(path);
    const auto offsets = StripOffsets(path);
    ASSERT_EQ(chunks.size(), 2u);
    const auto& first = ImageAt(chunks, offsets[0]);
    EXPECT_EQ(first.codec, Codec::None);
    EXPECT_EQ(first.width, 16u);
    EXPECT_EQ(first.height, 8u);
    EXPECT_EQ(first.bytes_per_pixel, 2);
    EXPECT_EQ(first.length, 16u * 8 * 2);
    const bool big = std::string(mode).find('b') != std::string::npos;
    EXPECT_EQ(first.endianness, big ? std::endian::big : std::endian::little);
    EXPECT_EQ(ImageAt(chunks, offsets[1]).width, 32u);
  }
}

TEST(TiffReader, DirectoriesItCannotTakeAreSkippedWithTheirMessage) {
  test::TempDir dir;
  {
    LogRecorder log;
    // Tiles are read, one chunk each, without the strip directories' complaint.
    WriteTiff(dir / "tiled.tif", {TiffPage{.width = 32, .height = 32, .tiled = true}, TiffPage{.tiled = true}});
    EXPECT_EQ(ReadTiff(dir / "tiled.tif").size(), 5u);
    EXPECT_EQ(log.Count("Skip image directory missing baseline tag StripOffsets"), 0u);
  }
  {
    LogRecorder log;
    WriteTiff(dir / "deflate.tif", {TiffPage{.compression = COMPRESSION_ADOBE_DEFLATE}});
    EXPECT_TRUE(ReadTiff(dir / "deflate.tif").empty());
    EXPECT_TRUE(log.Contains("warning: Skip image directory with compression = 8"));
  }
  {
    // Sub-byte samples give no plane to encode; the other directory still counts.
    WriteTiff(dir / "bilevel.tif", {TiffPage{.bits = 1}, TiffPage{}});
    EXPECT_EQ(ReadTiff(dir / "bilevel.tif").size(), 1u);
  }
}

TEST(TiffReader, RgbPlaneIsWidthTimesHeightBytesWithoutCalibration) {
  test::TempDir dir;
  WriteTiff(dir / "rgb.tif", {TiffPage{.bits = 8, .samples = 3, .photometric = PHOTOMETRIC_RGB,
                                       .make = "A", .model = "B", .iso = 100}});
  const ChunkMap chunks = ReadTiff(dir / "rgb.tif");
  ASSERT_EQ(chunks.size(), 1u);
  const auto& image = *dynamic_cast<const chunk::Image*>(chunks.begin()->second.get());
  EXPECT_EQ(image.length, 16u * 8);
  EXPECT_EQ(image.calibration, chunk::image::Calibration{});
}

TEST(TiffReader, CalibrationFromCameraTags) {
  test::TempDir dir;
  const TiffPage raw{.photometric = 32803, .make = "A", .model = "B", .iso = 400, .cfa = {1, 0, 2, 1},
                     .black = {64, 66, 65, 64}, .white = {4095, 1}};
  WriteTiff(dir / "raw.dng", {raw});
  const ChunkMap chunks = ReadTiff(dir / "raw.dng");
  ASSERT_EQ(chunks.size(), 1u);
  const auto& calibration = dynamic_cast<const chunk::Image*>(chunks.begin()->second.get())->calibration;
  EXPECT_EQ(calibration.identifier, "A_B_ISO400");
  EXPECT_EQ(calibration.black_level, 66.0f);
  EXPECT_EQ(calibration.white_level, 4095u);
  EXPECT_EQ(calibration.cfa, ColorFilterArray::kBayerGR);

  const std::vector<std::pair<std::vector<uint8_t>, ColorFilterArray>> known = {
      {{0, 1, 1, 2}, ColorFilterArray::kBayerRG},
      {{2, 1, 1, 0}, ColorFilterArray::kBayerBG},
      {{1, 2, 0, 1}, ColorFilterArray::kBayerGB}};
  for (const auto& [pattern, cfa] : known) {
    TiffPage page = raw;
    page.cfa = pattern;
    WriteTiff(dir / "raw.dng", {page});
    EXPECT_EQ(dynamic_cast<const chunk::Image*>(ReadTiff(dir / "raw.dng").begin()->second.get())->calibration.cfa,
              cfa);
  }
}

TEST(TiffReader, IncompleteCameraInformationGivesNoIdentifier) {
  test::TempDir dir;
  LogRecorder log;
  WriteTiff(dir / "raw.tif", {TiffPage{.photometric = 32803, .make = "A", .model = "B", .cfa = {0, 1, 1, 3}},
                              TiffPage{.photometric = 32803, .make = "A", .iso = 200}});
  const ChunkMap chunks = ReadTiff(dir / "raw.tif");
  ASSERT_EQ(chunks.size(), 2u);
  for (const auto& [offset, chunk] : chunks) {
    const auto& calibration = dynamic_cast<const chunk::Image*>(chunk.get())->calibration;
    EXPECT_FALSE(calibration.identifier);
    EXPECT_FALSE(calibration.cfa);
  }
  EXPECT_TRUE(log.Contains("error: Can't construct ColorFilterArray, couldn't match CFAPattern2: [0, 1, 1, 3]"));
  EXPECT_TRUE(log.Contains("warning: PhotometricInterpretation is CFA but could not find CFAPattern2"));
}

TEST(TiffReader, ToStringListsBytes) {
  EXPECT_EQ(ToString({0, 1, 1, 3}), "[0, 1, 1, 3]");
  EXPECT_EQ(ToString({}), "[]");
}

TEST(TiffReader, NivraEncodedStripsBecomeEncodedImages) {
  test::TempDir dir;
  const std::string strips = test::RandomBytes(300 + 200);
  test::WriteFile(dir / "encoded.tif",
            test::TiffBytes(std::endian::little, false,
                            {test::StripDirectory(20, 10, 48124, 1000, 300, false),
                             test::StripDirectory(20, 10, 48124, 1300, 200, false)},
                            8, 1000, strips));
  const ChunkMap chunks = ReadTiff(dir / "encoded.tif");
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(ImageAt(chunks, 1000).codec, Codec::Nivra);
  EXPECT_EQ(ImageAt(chunks, 1000).length, 300u);
  EXPECT_EQ(ImageAt(chunks, 1300).length, 200u);
  EXPECT_EQ(ImageAt(chunks, 1300).DecodedLength(), 400u);

  // Bytes after the strips: the directory rewrite cannot serve the file, so the strips
  // stay opaque (restored byte for byte) rather than decoded under stale directories.
  LogRecorder log;
  test::WriteFile(dir / "trailing.tif",
            test::TiffBytes(std::endian::little, false, {test::StripDirectory(20, 10, 48124, 1000, 300, false)}, 8,
                            1000, strips));
  EXPECT_TRUE(ReadTiff(dir / "trailing.tif").empty());
  EXPECT_TRUE(log.Contains("kept as opaque data"));
}

TEST(TiffReader, StripsOutsideTheFileOrOverlappingFallBackToDefaultMetadata) {
  test::TempDir dir;
  // 20 x 10 x 2 = 400 bytes claimed, 100 present.
  const auto beyond = dir / "beyond.tif";
  test::WriteFile(beyond, test::TiffBytes(std::endian::little, false, {test::StripDirectory(20, 10, 1, 1000, 400, false)},
                                    8, 1000, test::RandomBytes(100)));
  EXPECT_THROW(ReadTiff(beyond), std::runtime_error);
  const auto overlapping = dir / "overlapping.tif";
  test::WriteFile(overlapping, test::TiffBytes(std::endian::little, false,
                                         {test::StripDirectory(20, 10, 1, 1000, 400, false),
                                          test::StripDirectory(20, 10, 1, 1200, 400, false)},
                                         8, 1000, test::RandomBytes(600)));
  EXPECT_THROW(ReadTiff(overlapping), std::runtime_error);

  for (const auto& path : {beyond, overlapping}) {
    LogRecorder log;
    const Metadata metadata = Metadata::Read(path);
    ASSERT_EQ(metadata.chunks.size(), 1u);
    EXPECT_EQ(metadata.length, std::filesystem::file_size(path));
    EXPECT_TRUE(log.Contains("Fallback to default metadata."));
  }
}

TEST(TiffReader, MoreThanOneChunkPerHalfKilobyteFallsBackToDefaultMetadata) {
  test::TempDir dir;
  for (const auto& [side, kept] : {std::pair{4u, false}, std::pair{16u, true}}) {
    const auto path = dir / ("pages" + std::to_string(side) + ".tif");
    WriteTiff(path, std::vector<TiffPage>(30, TiffPage{.width = side, .height = side}));
    LogRecorder log;
    const Metadata metadata = Metadata::Read(path);
    size_t images = 0;
    for (const auto& chunk : metadata.chunks) images += dynamic_cast<const chunk::Image*>(chunk.get()) != nullptr;
    EXPECT_EQ(images, kept ? 30u : 0u) << side;
    EXPECT_EQ(log.Contains("chunks in a file of"), !kept) << side;
  }
}

TEST(TiffReader, HandleIsClosedOnEveryWayOut) {
  test::TempDir dir;
  const auto path = dir / "beyond.tif";
  test::WriteFile(path, test::TiffBytes(std::endian::little, false, {test::StripDirectory(20, 10, 1, 1000, 400, false)}, 8,
                                  1000, test::RandomBytes(100)));
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 5; ++i) EXPECT_THROW(ReadTiff(path), std::runtime_error);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(TiffReader, WhatIsNoTiffIsRefused) {
  test::TempDir dir;
  test::WriteFile(dir / "text.tif", "this is not a tiff at all");
  LogRecorder log;
  try {
    ReadTiff(dir / "text.tif");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "TIFFOpen failed");
  }
  EXPECT_TRUE(log.Contains("error: Failed to open TIFF file: "));
}

TEST(TiffReader, RegisteredByLowercaseExtension) {
  for (const char* extension : {".tif", ".tiff", ".dng"}) EXPECT_TRUE(kReaders.contains(extension)) << extension;
  test::TempDir dir;
  WriteTiff(dir / "IMAGE.TIF", {TiffPage{.width = 64, .height = 64}});
  std::filesystem::copy_file(dir / "IMAGE.TIF", dir / "image.tiff.bak");
  EXPECT_EQ(Metadata::Read(dir / "IMAGE.TIF").chunks.size(), 3u);  // header, plane, directory
  EXPECT_EQ(Metadata::Read(dir / "image.tiff.bak").chunks.size(), 1u);
}

TEST(TiffReader, SubDirectoriesAndExifFromTifffile) {
  if (!test::HasTifffile()) GTEST_SKIP() << "python3 tifffile is not installed";
  test::TempDir dir;
  test::RunPython(dir.path(), R"(
import numpy, tifffile
data = numpy.arange(64 * 32, dtype=numpy.uint16).reshape(32, 64)
with tifffile.TiffWriter('sub.tif') as tif:
    tif.write(data, subifds=2, photometric='minisblack')
    tif.write(data[:16, :32], subfiletype=1)
    tif.write(data[:8, :16], subfiletype=1)
    tif.write(data[:4, :4], photometric='minisblack')
)");
  const ChunkMap chunks = ReadTiff(dir / "sub.tif");
  std::vector<uint32_t> widths;
  for (const auto& [offset, chunk] : chunks) widths.push_back(dynamic_cast<const chunk::Image*>(chunk.get())->width);
  std::sort(widths.begin(), widths.end());
  EXPECT_EQ(widths, (std::vector<uint32_t>{4, 16, 32, 64}));
}

}  // namespace
}  // namespace tarn::metadata
