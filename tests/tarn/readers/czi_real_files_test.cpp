// The CZI directory parser on the shared real sample files: every uncompressed
// full-resolution sub-block, and none of the compressed or pyramid ones.
#include <gtest/gtest.h>

#include "readers/round_trip.hpp"
#include "tarn/file/metadata/readers/czi.hpp"
#include "tarn/file/metadata/readers/czi_directory.hpp"
#include "test_util.hpp"

namespace tarn::test {
namespace {

struct RealCzi {
  const char* name;
  size_t planes;
  uint32_t width, height;  // of the first plane
  metadata::czi::PixelType pixel_type;
};

using metadata::czi::PixelType;

class CziRealFile : public ::testing::TestWithParam<RealCzi> {};

TEST_P(CziRealFile, FindsEveryPlainSubBlock) {
  const RealCzi& expected = GetParam();
  const auto path = FixturesDir() / expected.name;
  if (FixturesDir().empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "sample files absent";
  metadata::FileByteSource source(path);
  const auto planes = metadata::czi::FindPlanes(source);
  ASSERT_EQ(planes.size(), expected.planes);
  if (planes.empty()) return;
  EXPECT_EQ(planes[0].width, expected.width);
  EXPECT_EQ(planes[0].height, expected.height);
  for (const auto& plane : planes) {
    EXPECT_EQ(plane.pixel_type, expected.pixel_type);
    EXPECT_EQ(plane.length, uint64_t{plane.width} * plane.height * (expected.pixel_type == PixelType::kGray16 ? 2 : 1));
  }
}

TEST_P(CziRealFile, RestoresEveryByteWithEachPlaneCodedAsAnImage) {
  const RealCzi& expected = GetParam();
  const auto path = FixturesDir() / expected.name;
  if (FixturesDir().empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "sample files absent";
  const auto chunks = metadata::ReadCzi(path);
  ASSERT_EQ(chunks.size(), expected.planes);
  for (const auto& [offset, chunk] : chunks) {
    const auto* image = dynamic_cast<const chunk::Image*>(chunk.get());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->bytes_per_pixel, expected.pixel_type == PixelType::kGray16 ? 2 : 1);
    EXPECT_EQ(image->endianness, std::endian::little);
  }

  const auto result = CompressAndRestore(path);
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, expected.planes);
  EXPECT_EQ(result.images_not_coded, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CziRealFile,
    ::testing::Values(RealCzi{"czi-aicsimageio-s_1_t_1_c_1_z_1.czi", 1, 475, 325, PixelType::kGray16},
                      RealCzi{"czi-czitools-100x100.czi", 1, 10, 10, PixelType::kGray8},
                      // The eighth sub-block is a down-scaled pyramid level.
                      RealCzi{"czi-czitools-1_tileregion.czi", 7, 400, 300, PixelType::kGray16},
                      RealCzi{"czi-czitools-Airyscan.czi", 6, 480, 480, PixelType::kGray16},
                      RealCzi{"czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi", 30, 240, 170, PixelType::kGray16},
                      RealCzi{"czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170_comp1.czi", 0, 0, 0, PixelType::kGray16},
                      RealCzi{"czi-czitools-DAPI_GFP.czi", 2, 640, 640, PixelType::kGray8},
                      RealCzi{"czi-czitools-LSM880_AiryScan.czi", 132, 38, 36, PixelType::kGray16},
                      RealCzi{"czi-czitools-S3_1Pos_2Mosaic_T2Z3_CH2_sm.czi", 336, 64, 64, PixelType::kGray16},
                      RealCzi{"czi-czitools-WellD6_S1.czi", 1, 544, 440, PixelType::kGray16},
                      RealCzi{"czi-czitools-newCZI_compressed.czi", 0, 0, 0, PixelType::kGray16},
                      RealCzi{"czi-czitools-nuc_small.czi", 1, 320, 240, PixelType::kGray8},
                      RealCzi{"czi-czitools-Al2O3_SE_020_sp.czi", 1, 2048, 1536, PixelType::kGray8},
                      RealCzi{"czi-czitools-FOV7_HV110_P0500510000.czi", 1, 512, 512, PixelType::kGray8}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace tarn::test
