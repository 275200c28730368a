// Image chunks found by the TIFF reader, through the C functions.
#include <tiffio.h>

#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "nivra/nivra.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn {
namespace {

namespace nv = Brimlake::Nivra;

// One 16-bit grey strip of camera-like pixels.
void WriteTiff(const std::filesystem::path& path, uint32_t width, uint32_t height) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
  std::vector<uint16_t> pixels = test::CameraPixels(size_t{width} * height, width);
  ASSERT_GE(TIFFWriteEncodedStrip(tiff, 0, pixels.data(), static_cast<tmsize_t>(pixels.size() * 2)), 0);
  TIFFClose(tiff);
}

class ImageCInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteTiff(source_, 256, 192);
    nv::ParameterRegistry::set_parameters(
        "Cam_ISO100", std::make_shared<nv::ExtendedAnscombeParameters>(1.8F, 100.0F, 2.5F, 4095U), "kMono");
  }
  void TearDown() override { nv::ParameterRegistry::clear(); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }

  test::TempDir dir_;
  std::filesystem::path source_ = dir_ / "camera.tif";
};

TEST_F(ImageCInterfaceTest, CompressedTiffImageUsesTheCodecAndDecodesIdentically) {
  ASSERT_EQ(TarnCompressFile(source_.c_str(), Path("camera.tif.nivra").c_str(), Path("meta.json").c_str()),
            kTarnStatusOk);
  EXPECT_NE(test::ReadFile(dir_ / "meta.json").find("\"codec\" : 1"), std::string::npos) << "no Nivra chunk";
  EXPECT_LT(std::filesystem::file_size(dir_ / "camera.tif.nivra"), std::filesystem::file_size(source_) / 2);
  ASSERT_EQ(TarnDecompressFile(Path("camera.tif.nivra").c_str(), Path("restored.tif").c_str(), nullptr),
            kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(dir_ / "restored.tif") == test::ReadFile(source_));
}

TEST_F(ImageCInterfaceTest, PreparationWithARegistryIdentifier) {
  ASSERT_EQ(TarnPrepareFile(source_.c_str(), Path("once.tif").c_str(), "Cam_ISO100"), kTarnStatusOk);
  const std::string once = test::ReadFile(dir_ / "once.tif");
  EXPECT_EQ(once.size(), std::filesystem::file_size(source_));
  EXPECT_NE(once, test::ReadFile(source_));
  ASSERT_EQ(TarnPrepareFile(Path("once.tif").c_str(), Path("twice.tif").c_str(), "Cam_ISO100"), kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(dir_ / "twice.tif") == once);

  ASSERT_EQ(TarnPrepareAndCompressFile(source_.c_str(), Path("prepared.nivra").c_str(), "Cam_ISO100", nullptr),
            kTarnStatusOk);
  ASSERT_EQ(TarnDecompressFile(Path("prepared.nivra").c_str(), Path("restored.tif").c_str(), nullptr), kTarnStatusOk);
  const std::string restored = test::ReadFile(dir_ / "restored.tif");
  EXPECT_EQ(restored.size(), once.size());
  // Prepared once more it stays as it is: the header is in place.
  ASSERT_EQ(TarnPrepareFile(Path("restored.tif").c_str(), Path("again.tif").c_str(), "Cam_ISO100"), kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(dir_ / "again.tif") == restored);
}

TEST_F(ImageCInterfaceTest, UnknownIdentifierFailsWithStatus8AndNoOutput) {
  EXPECT_EQ(TarnPrepareFile(source_.c_str(), Path("prepared.tif").c_str(), "Nobody_ISO1"),
            kTarnStatusNoParametersForIdentifier);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "prepared.tif"));
}

}  // namespace
}  // namespace tarn
