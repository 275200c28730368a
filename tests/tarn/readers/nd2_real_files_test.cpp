// The ND2 parser on the shared real sample files: as many frames as each file
// holds, with the geometry its attributes give.
#include <gtest/gtest.h>

#include "readers/round_trip.hpp"
#include "tarn/file/metadata/readers/nd2.hpp"
#include "tarn/file/metadata/readers/nd2_reader.hpp"
#include "test_util.hpp"

namespace tarn::test {
namespace {

struct RealNd2 {
  const char* name;
  size_t frames;
  uint32_t width, height, width_bytes;
  uint16_t components;
  uint64_t first_offset;
};

class Nd2RealFile : public ::testing::TestWithParam<RealNd2> {};

TEST_P(Nd2RealFile, FindsEveryUncompressedFrame) {
  const RealNd2& expected = GetParam();
  const auto path = FixturesDir() / expected.name;
  if (FixturesDir().empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "sample files absent";
  metadata::FileByteSource source(path);
  const auto frames = metadata::nd2::FindFrames(source);
  ASSERT_EQ(frames.size(), expected.frames);
  EXPECT_EQ(frames[0].offset, expected.first_offset);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.width, expected.width);
    EXPECT_EQ(frame.height, expected.height);
    EXPECT_EQ(frame.width_bytes, expected.width_bytes);
    EXPECT_EQ(frame.components, expected.components);
    EXPECT_EQ(frame.bytes_per_component, 2);
    EXPECT_EQ(frame.length, uint64_t{expected.width_bytes} * expected.height);
  }
}

TEST_P(Nd2RealFile, RestoresEveryByteWithEachFrameCodedAsAnImage) {
  const RealNd2& expected = GetParam();
  const auto path = FixturesDir() / expected.name;
  if (FixturesDir().empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "sample files absent";
  const auto chunks = metadata::ReadNd2(path);
  ASSERT_EQ(chunks.size(), expected.frames);
  const auto* first = dynamic_cast<const chunk::InterleavedImage*>(chunks.begin()->second.get());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(chunks.begin()->first, expected.first_offset);
  EXPECT_EQ(first->channels, expected.components);
  EXPECT_EQ(first->width_bytes, expected.width_bytes);
  EXPECT_EQ(first->bytes_per_pixel, 2);
  EXPECT_EQ(first->endianness, std::endian::little);

  const auto result = CompressAndRestore(path);
  EXPECT_TRUE(result.identical);
  EXPECT_EQ(result.images, expected.frames);
  EXPECT_EQ(result.images_not_coded, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, Nd2RealFile,
    ::testing::Values(RealNd2{"nd2-arcadia-multichannel.nd2", 1, 256, 256, 2048, 4, 221184 + 4096},
                      RealNd2{"nd2-arcadia-timelapse.nd2", 53, 64, 64, 128, 1, 69632 + 4096},
                      RealNd2{"nd2-arcadia-cerevisiae.nd2", 1, 256, 256, 1024, 2, 114688 + 4096},
                      RealNd2{"nd2-pims-cluster.nd2", 30, 38, 31, 152, 2, 53248 + 4096}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace tarn::test
