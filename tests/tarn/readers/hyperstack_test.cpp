#include "tarn/file/metadata/readers/tiff/util/hyperstack.hpp"

#include <gtest/gtest.h>

#include "file/tiff_bytes.hpp"
#include "log_recorder.hpp"
#include "readers/tiff_writer.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/readers/tiff.hpp"
#include "test_util.hpp"

namespace tarn::metadata {
namespace {

using test::LogRecorder;

TEST(ImageDescription, KeysAsImageJWritesThem) {
  const auto info = ParseImageDescription("ImageJ=1.53t\nimages=60\nchannels=3\nslices=20\nhyperstack=true\n");
  EXPECT_TRUE(info.hyperstack);
  EXPECT_EQ(info.images, 60);
  EXPECT_EQ(info.slices, 20);
  EXPECT_EQ(ParseImageDescription("images=12x\nimages=3\nimages=12x").images, 12);  // the last wins, digits only
  EXPECT_FALSE(ParseImageDescription("").images);
}

TEST(ImageDescription, HyperstackFlagMustBeExactlyTrue) {
  for (const char* text : {"hyperstack = true", "hyperstack=True", "hyperstack=true\r\nimages=3", "hyperstack"}) {
    EXPECT_FALSE(ParseImageDescription(text).hyperstack) << text;
  }
}

TEST(ImageDescription, JunkCountsAreAbsentWithAWarning) {
  LogRecorder log;
  const auto info = ParseImageDescription("images=abc\nslices=99999999999\n");
  EXPECT_FALSE(info.images);
  EXPECT_FALSE(info.slices);
  EXPECT_TRUE(log.Contains("warning: Invalid value for 'images': 'abc'. Expected an integer. Exception: "));
  EXPECT_TRUE(log.Contains("warning: Invalid value for 'slices': '99999999999'. Expected an integer. Exception: "));
}

class Hyperstack : public ::testing::Test {
 protected:
  static constexpr uint64_t kPlane = 16 * 16 * 2;

  // One directory whose single strip holds `planes` planes, as ImageJ lays them out.
  ChunkMap Read(const std::string& description, uint32_t planes = 4, uint32_t height = 16) {
    const auto path = dir_ / "stack.tif";
    TIFF* tiff = TIFFOpen(path.string().c_str(), "wb");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 16);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, std::vector<uint32_t>{1000}.data());
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    const std::string pixels = test::RandomBytes(16 * height * 2 * planes);
    TIFFWriteRawStrip(tiff, 0, const_cast<char*>(pixels.data()), static_cast<tmsize_t>(pixels.size()));
    TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    TIFF* reread = TIFFOpen(path.string().c_str(), "r");
    first_ = TIFFGetStrileOffset(reread, 0);
    TIFFClose(reread);
    return ReadTiff(path);
  }

  test::TempDir dir_;
  uint64_t first_ = 0;
};

TEST_F(Hyperstack, PlanesFollowTheFirstStrip) {
  LogRecorder log;
  const ChunkMap chunks = Read("ImageJ=1.53t\nimages=4\nchannels=2\nslices=2\nhyperstack=true\n");
  ASSERT_EQ(chunks.size(), 4u);
  for (uint64_t k = 0; k < 4; ++k) {
    const auto* plane = dynamic_cast<const chunk::Image*>(chunks.at(first_ + k * kPlane).get());
    ASSERT_NE(plane, nullptr);
    EXPECT_EQ(plane->length, kPlane);
    EXPECT_EQ(plane->endianness, std::endian::big);
    // Only the first plane has a directory and so a calibration.
    EXPECT_EQ(plane->calibration.white_level.has_value(), k == 0);
  }
  EXPECT_TRUE(log.Contains("info: Processing hyperstack with 4 images."));
}

TEST_F(Hyperstack, NoPlanesWithoutAHyperstackOfSeveralImages) {
  EXPECT_EQ(Read("images=1\nhyperstack=true\n").size(), 1u);
  EXPECT_EQ(Read("images=4\nhyperstack=false\n").size(), 1u);
  EXPECT_EQ(Read("images=abc\nhyperstack=true\n").size(), 1u);
  EXPECT_EQ(Read("images=-3\nhyperstack=true\n").size(), 1u);
}

TEST_F(Hyperstack, ClaimedPlanesBeyondTheFileAreIgnored) {
  LogRecorder log;
  EXPECT_EQ(Read("images=2147483647\nhyperstack=true\n", 3).size(), 3u);
  EXPECT_TRUE(log.Contains("the missing planes are ignored"));
}

TEST_F(Hyperstack, PlanesSmallerThanHalfAKilobyteStayPlainData) {
  // 16 x 15 x 2 = 480 bytes: a description could turn a small file into a chunk per plane.
  LogRecorder log;
  EXPECT_EQ(Read("images=40\nhyperstack=true\n", 40, 15).size(), 1u);
  EXPECT_TRUE(log.Contains("warning: Hyperstack planes of 480 bytes are smaller than 512 bytes"));
}

TEST(HyperstackPlanes, PlanesOfFourGibibytesOrMoreAreNotAdded) {
  test::TempDir dir;
  const auto path = dir / "huge.tif";
  // 65536 x 32768 x 2 bytes = 4 GiB, which a 32-bit plane size would wrap to 0.
  test::WriteFile(path, test::TiffBytes(std::endian::little, true,
                                        {test::StripDirectory(65536, 32768, 1, 1000, uint64_t{1} << 32, true)}, 16,
                                        1000, test::RandomBytes(64)));
  TIFF* tiff = TIFFOpen(path.string().c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  ChunkMap chunks;
  LogRecorder log;
  ProcessHyperstackImage(tiff, 3, chunks);
  TIFFClose(tiff);
  EXPECT_TRUE(chunks.empty());
  EXPECT_TRUE(log.Contains("error: "));
}

TEST(HyperstackPlanes, TifffileHyperstackHasEveryPlane) {
  if (!test::HasTifffile()) GTEST_SKIP() << "python3 tifffile is not installed";
  test::TempDir dir;
  test::RunPython(dir.path(), R"(
import numpy, tifffile
data = numpy.arange(3 * 2 * 2 * 32 * 16, dtype=numpy.uint16).reshape(3, 2, 2, 32, 16)
tifffile.imwrite('hyper.tif', data, imagej=True, metadata={'axes': 'TZCYX'})
)");
  const ChunkMap chunks = ReadTiff(dir / "hyper.tif");
  ASSERT_EQ(chunks.size(), 12u);
  uint64_t expected = chunks.begin()->first;
  for (const auto& [offset, chunk] : chunks) {
    EXPECT_EQ(offset, expected);
    expected += 32 * 16 * 2;
  }
}

}  // namespace
}  // namespace tarn::metadata
