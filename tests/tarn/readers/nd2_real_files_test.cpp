// The ND2 parser on the shared real sample files: as many frames as each file
// holds, with the geometry its attributes give.
#include <gtest/gtest.h>

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

INSTANTIATE_TEST_SUITE_P(
    Samples, Nd2RealFile,
    ::testing::Values(RealNd2{"nd2-arcadia-multichannel.nd2", 1, 256, 256, 2048, 4, 221184 + 4096},
                      RealNd2{"nd2-arcadia-timelapse.nd2", 53, 64, 64, 128, 1, 69632 + 4096},
                      RealNd2{"nd2-arcadia-cerevisiae.nd2", 1, 256, 256, 1024, 2, 114688 + 4096},
                      RealNd2{"nd2-pims-cluster.nd2", 30, 38, 31, 152, 2, 53248 + 4096}),
    [](const auto& info) { return std::to_string(info.index); });

}  // namespace
}  // namespace tarn::test
