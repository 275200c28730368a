// Synthetic CZI files through the whole pipeline: every pixel type we accept
// is coded as an image and every byte comes back.
#include <gtest/gtest.h>

#include "readers/czi_builder.hpp"
#include "readers/round_trip.hpp"
#include "tarn/file/metadata/readers/czi.hpp"

namespace tarn::test {
namespace {

TEST(CziRoundTrip, GrayAndColourPlanesComeBackExactly) {
  TempDir folder;
  CziSpec spec;
  spec.blocks.assign(6, CziBlockSpec{});
  const int32_t types[] = {0, 1, 3, 4, 9, 1};
  for (size_t i = 0; i < 6; ++i) {
    spec.blocks[i].pixel_type = types[i];
    spec.blocks[i].width = 147;  // odd rows: 441 bytes in Bgr24
    spec.blocks[i].height = 9;
  }
  spec.blocks[5].logical_width = 294;  // a pyramid level stays data
  BuildCzi(spec).file.WriteTo(folder / "mixed.czi");

  const auto chunks = metadata::ReadCzi(folder / "mixed.czi");
  ASSERT_EQ(chunks.size(), 5u);
  auto it = chunks.begin();
  EXPECT_NE(dynamic_cast<const chunk::Image*>(it->second.get()), nullptr);
  ++it;
  EXPECT_EQ(dynamic_cast<const chunk::Image&>(*it->second).bytes_per_pixel, 2);
  ++it;
  const auto& bgr24 = dynamic_cast<const chunk::InterleavedImage&>(*it->second);
  EXPECT_EQ(bgr24.width_bytes, 441u);
  EXPECT_EQ(bgr24.channels, 3);
  EXPECT_EQ(bgr24.bytes_per_pixel, 1);
  ++it;
  const auto& bgr48 = dynamic_cast<const chunk::InterleavedImage&>(*it->second);
  EXPECT_EQ(bgr48.width_bytes, 882u);
  EXPECT_EQ(bgr48.bytes_per_pixel, 2);
  ++it;
  EXPECT_EQ(dynamic_cast<const chunk::InterleavedImage&>(*it->second).channels, 4);

  const auto result = CompressAndRestore(folder / "mixed.czi");
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, 5u);
  EXPECT_EQ(result.images_not_coded, 0u);
}

TEST(CziRoundTrip, UnreadableFilesAreStoredWholeAsData) {
  TempDir folder;
  CziSpec spec;
  spec.update_pending = 1;
  BuildCzi(spec).file.WriteTo(folder / "pending.czi");
  EXPECT_THROW(metadata::ReadCzi(folder / "pending.czi"), std::runtime_error);
  const auto result = CompressAndRestore(folder / "pending.czi");
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, 0u);
}

}  // namespace
}  // namespace tarn::test
