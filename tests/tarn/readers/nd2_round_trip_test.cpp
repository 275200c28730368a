// Synthetic ND2 files through the whole pipeline: compressed, restored byte for
// byte, frames coded as images; refused files kept whole as data.
#include <gtest/gtest.h>

#include "readers/nd2_builder.hpp"
#include "readers/round_trip.hpp"
#include "tarn/file/metadata/readers/nd2.hpp"

namespace tarn::test {
namespace {

TEST(Nd2RoundTrip, PaddedMultiComponentFramesComeBackExactly) {
  TempDir folder;
  Nd2Spec spec;
  spec.width = 33;
  spec.height = 17;
  spec.components = 3;
  spec.width_bytes = 200;  // 198 bytes of samples
  spec.frames = 4;
  spec.frame_extra = 16;
  BuildNd2(spec).file.WriteTo(folder / "padded.nd2");

  const auto chunks = metadata::ReadNd2(folder / "padded.nd2");
  ASSERT_EQ(chunks.size(), 4u);
  const auto& first = dynamic_cast<const chunk::InterleavedImage&>(*chunks.begin()->second);
  EXPECT_EQ(first.width, 33u);
  EXPECT_EQ(first.width_bytes, 200u);
  EXPECT_EQ(first.channels, 3);
  EXPECT_EQ(first.length, 200u * 17);

  const auto result = CompressAndRestore(folder / "padded.nd2");
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, 4u);
  EXPECT_EQ(result.images_not_coded, 0u);
}

TEST(Nd2RoundTrip, EightBitFramesComeBackExactly) {
  TempDir folder;
  Nd2Spec spec;
  spec.width = 9;
  spec.bits = 8;
  spec.width_bytes = 12;
  spec.alignment = 8;
  BuildNd2(spec).file.WriteTo(folder / "gray8.nd2");
  const auto result = CompressAndRestore(folder / "gray8.nd2");
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, 2u);
}

TEST(Nd2RoundTrip, RefusedFilesAreStoredWholeAsData) {
  TempDir folder;
  Nd2Spec spec;
  spec.compression = 0;
  BuildNd2(spec).file.WriteTo(folder / "zlib.nd2");
  try {
    metadata::ReadNd2(folder / "zlib.nd2");
    FAIL() << "compressed frames accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "File is not Nivra compatible.");
  }
  const auto result = CompressAndRestore(folder / "zlib.nd2");
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, 0u);
}

}  // namespace
}  // namespace tarn::test
