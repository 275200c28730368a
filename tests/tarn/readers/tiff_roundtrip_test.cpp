// Whole files through compress and decompress: the shared samples, TIFFs of many layouts
// written by tifffile, and damaged TIFFs must all come back byte for byte.
#include <filesystem>
#include <random>

// Pages name only what differs from the defaults of TiffPage.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include "readers/tiff_writer.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/metadata/readers/tiff.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn {
namespace {

// Compresses and restores `source`; empty when compression refused the file.
std::optional<std::string> RoundTrip(const std::filesystem::path& source) {
  test::TempDir dir;
  const auto compressed = dir / (source.filename().string() + ".nivra");
  if (TarnCompressFile(source.c_str(), compressed.c_str(), nullptr) != kTarnStatusOk) {
    EXPECT_FALSE(std::filesystem::exists(compressed)) << "a refused file left output behind";
    return std::nullopt;
  }
  test::TempDir restored_dir;
  const auto restored = restored_dir / source.filename().string();
  EXPECT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  return test::ReadFile(restored);
}

void ExpectRoundTrip(const std::filesystem::path& source) {
  SCOPED_TRACE(source.filename().string());
  const auto restored = RoundTrip(source);
  ASSERT_TRUE(restored) << "compression refused the file";
  EXPECT_TRUE(*restored == test::ReadFile(source)) << "restored bytes differ";
}

size_t ImageCount(const std::filesystem::path& path) {
  size_t count = 0;
  for (const auto& chunk : Metadata::Read(path).chunks) count += dynamic_cast<const chunk::Image*>(chunk.get()) != nullptr;
  return count;
}

TEST(TiffRoundTrip, EverySharedSampleFile) {
  const auto fixtures = test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared sample files are absent";
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(fixtures)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    ExpectRoundTrip(entry.path());
    ++files;
  }
  EXPECT_GT(files, 0u);
}

TEST(TiffRoundTrip, SharedSamplesHaveTheirPlanesFound) {
  const auto fixtures = test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared sample files are absent";
  const std::vector<std::pair<std::string, size_t>> expected = {
      {"tif-bian-cancer_cell_migration_crop.tif", 48},   // one plane per directory
      {"tif-ijhyper-pyimagej-test_4_channel.tif", 4},    // ImageJ hyperstack
      {"tif-imagetiff-ScanImageBigTIFFv57.tif", 4},      // BigTIFF
      {"tif-pillow-16bit.MM.cropped.tif", 1},            // big-endian
      {"tif-aicsimageio-s_1_t_1_c_1_z_1.ome.tiff", 0},   // LZW
      {"dng-blackmagic-pocket4k.dng", 0},                // lossless JPEG raw
  };
  for (const auto& [name, count] : expected) {
    if (!std::filesystem::exists(fixtures / name)) continue;
    EXPECT_EQ(ImageCount(fixtures / name), count) << name;
  }
  const auto parrot = fixtures / "tif-mei-parrot-issue151.tif";
  if (std::filesystem::exists(parrot)) {
    const auto chunks = metadata::ReadTiff(parrot);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(dynamic_cast<const chunk::Image*>(chunks.begin()->second.get())->calibration.identifier,
              "Parrot_Chlorophyll_ISO200");
  }
}

TEST(TiffRoundTrip, LayoutsWrittenByTifffile) {
  if (!test::HasTifffile()) GTEST_SKIP() << "python3 tifffile is not installed";
  test::TempDir dir;
  test::RunPython(dir.path(), R"(
import numpy, tifffile
rng = numpy.random.default_rng(7)
plane = (rng.normal(1000, 30, (3, 96, 80))).astype(numpy.uint16)
tifffile.imwrite('classic.tif', plane)
tifffile.imwrite('bigtiff.tif', plane, bigtiff=True)
tifffile.imwrite('bigendian.tif', plane, byteorder='>')
tifffile.imwrite('bigtiff_bigendian.tif', plane, bigtiff=True, byteorder='>')
tifffile.imwrite('tiled.tif', plane, tile=(32, 32))
tifffile.imwrite('rgb.tif', (plane[0] >> 4).astype(numpy.uint8).reshape(96, 80, 1).repeat(3, 2), photometric='rgb')
tifffile.imwrite('planar.tif', plane, photometric='rgb', planarconfig='separate')
tifffile.imwrite('float.tif', plane.astype(numpy.float32))
tifffile.imwrite('hyper.tif', plane.reshape(3, 1, 1, 96, 80).repeat(2, 1), imagej=True,
                 metadata={'axes': 'TZCYX'})
with tifffile.TiffWriter('subifds.tif') as tif:
    tif.write(plane[0], subifds=1)
    tif.write(plane[1, :48, :40], subfiletype=1)
    tif.write(plane[2])
)");
  // tifffile needs imagecodecs for LZW; libtiff writes that one.
  test::WriteTiff(dir / "lzw.tif", {test::TiffPage{.compression = COMPRESSION_LZW}, test::TiffPage{}});
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().extension() == ".tif") ExpectRoundTrip(entry.path());
  }
  EXPECT_EQ(ImageCount(dir / "lzw.tif"), 1u);
  EXPECT_EQ(ImageCount(dir / "hyper.tif"), 6u);
  EXPECT_EQ(ImageCount(dir / "tiled.tif"), 27u);  // three pages of 3 x 3 tiles, a chunk each
  EXPECT_EQ(ImageCount(dir / "subifds.tif"), 3u);
}

TEST(TiffRoundTrip, DamagedTiffsComeBackUnchanged) {
  test::TempDir dir;
  test::WriteTiff(dir / "good.tif", {test::TiffPage{.width = 64, .height = 32}, test::TiffPage{}});
  const std::string good = test::ReadFile(dir / "good.tif");
  const auto damaged = dir / "damaged.tif";
  // Cut at every few bytes: directories, strips and offsets all go missing somewhere.
  for (size_t size = 1; size < good.size(); size += 97) {
    test::WriteFile(damaged, good.substr(0, size));
    ExpectRoundTrip(damaged);
  }
  // Bytes changed at random: garbage offsets, counts and sizes.
  std::mt19937 random(5);
  for (int round = 0; round < 150; ++round) {
    std::string bytes = good;
    for (int flips = 0; flips < 4; ++flips) bytes[random() % bytes.size()] = static_cast<char>(random());
    test::WriteFile(damaged, bytes);
    const auto restored = RoundTrip(damaged);
    if (restored) {
      EXPECT_TRUE(*restored == bytes) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace tarn
