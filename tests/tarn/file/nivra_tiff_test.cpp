// Metadata::IsNivraTiff and Metadata::HandleNivraTiff on hand-laid encoded TIFFs.
#include <sstream>

#include <gtest/gtest.h>

#include "file/tiff_bytes.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "test_util.hpp"

namespace tarn {
namespace {

using test::StripDirectory;
using test::TiffBytes;

std::unique_ptr<Chunk> Encoded(uint64_t length, uint32_t width = 100, uint32_t height = 100,
                               uint16_t bytes_per_pixel = 2, std::endian endianness = std::endian::little) {
  return std::make_unique<chunk::Image>(Codec::Nivra, length, width, height, bytes_per_pixel, endianness,
                                        chunk::image::Calibration{});
}

Metadata Describe(std::vector<std::unique_ptr<Chunk>> chunks) { return Metadata::FromChunks(std::move(chunks)); }

template <class... Chunk>
std::vector<std::unique_ptr<tarn::Chunk>> List(std::unique_ptr<Chunk>... chunks) {
  std::vector<std::unique_ptr<tarn::Chunk>> list;
  (list.push_back(std::move(chunks)), ...);
  return list;
}

TEST(NivraTiff, OnlyLeadingBytesThenEncodedImagesQualify) {
  EXPECT_TRUE(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(50), Encoded(60))).IsNivraTiff());
  EXPECT_FALSE(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000))).IsNivraTiff());
  EXPECT_FALSE(Describe(List(Encoded(50), Encoded(60))).IsNivraTiff());
  EXPECT_FALSE(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(50),
                             std::make_unique<chunk::UnspecifiedData>(10), Encoded(60)))
                   .IsNivraTiff());
  EXPECT_FALSE(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(50),
                             std::make_unique<chunk::Image>(10, 10, 2, std::endian::little,
                                                            chunk::image::Calibration{})))
                   .IsNivraTiff());
}

struct Layout {
  std::endian endianness;
  bool bigtiff;
};

class NivraTiffRewrite : public ::testing::TestWithParam<Layout> {};

TEST_P(NivraTiffRewrite, DirectoriesDescribeTheDecodedFileAndStripsAreCopied) {
  const auto [endianness, bigtiff] = GetParam();
  const uint64_t first_ifd = bigtiff ? 16 : 8;
  const std::string strips = test::RandomBytes(5000 + 6000);
  const std::string source = TiffBytes(endianness, bigtiff,
                                       {StripDirectory(100, 100, 48124, 1000, 5000, bigtiff),
                                        StripDirectory(100, 100, 48124, 6000, 6000, bigtiff)},
                                       first_ifd, 1000, strips);
  const Metadata metadata = Describe(List(std::make_unique<chunk::UnspecifiedData>(1000),
                                          Encoded(5000, 100, 100, 2, endianness), Encoded(6000, 100, 100, 2, endianness)));
  ASSERT_TRUE(metadata.IsNivraTiff());

  std::istringstream in(source);
  std::ostringstream out;
  const Metadata written = metadata.HandleNivraTiff(in, out);
  EXPECT_EQ(written, metadata);
  EXPECT_EQ(out.str(), TiffBytes(endianness, bigtiff,
                                 {StripDirectory(100, 100, 1, 1000, 20000, bigtiff),
                                  StripDirectory(100, 100, 1, 21000, 20000, bigtiff)},
                                 first_ifd, 1000, strips));
}

INSTANTIATE_TEST_SUITE_P(Layouts, NivraTiffRewrite,
                         ::testing::Values(Layout{std::endian::little, false}, Layout{std::endian::little, true},
                                           Layout{std::endian::big, false}, Layout{std::endian::big, true}));

TEST(NivraTiffRewrite, DirectoriesTheRewriteCannotServeKeepTheStripsOpaque) {
  // 8-bit encoded strips: the rewrite serves 16-bit planes only.
  auto first = StripDirectory(100, 100, 48124, 1000, 500, false);
  first[2].value = 8;
  const std::string source = TiffBytes(std::endian::little, false, {first}, 8, 1000, test::RandomBytes(500));
  const Metadata metadata =
      Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(500, 100, 100, 1)));
  std::istringstream in(source);
  std::stringstream out;
  const Metadata written = metadata.HandleNivraTiff(in, out);
  for (const auto& chunk : written.chunks) EXPECT_NE(chunk->codec, Codec::Nivra);

  std::ostringstream restored;
  out.seekg(0);
  written.DecodeStream(out, restored);
  EXPECT_EQ(restored.str(), source);
}

TEST(NivraTiffRewrite, ChainThatLinksBackIsRefusedBeforeAnythingIsWritten) {
  std::string source = TiffBytes(std::endian::little, false,
                                 {StripDirectory(100, 100, 48124, 1000, 500, false)}, 8, 1000,
                                 test::RandomBytes(500));
  source[8 + 2 + 9 * 12] = 8;  // next directory: the same one again
  const Metadata metadata = Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(500)));
  std::istringstream in(source);
  std::ostringstream out;
  EXPECT_THROW(metadata.HandleNivraTiff(in, out), std::runtime_error);
  EXPECT_TRUE(out.str().empty());
}

}  // namespace
}  // namespace tarn
