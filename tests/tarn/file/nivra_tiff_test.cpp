// Metadata::IsNivraTiff and Metadata::HandleNivraTiff on hand-laid encoded TIFFs.
#include <algorithm>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <tiffio.h>

#include "file/tiff_bytes.hpp"
#include "nivra/nivra.h"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/util/checksum.hpp"
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

// Real codec output for a width x height ramp of 16-bit pixels.
std::string EncodedPlane(int32_t width, int32_t height, uint16_t start) {
  std::vector<uint16_t> pixels(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(start + i % 977);
  std::string encoded(pixels.size() * 2 + 4096, '\0');
  int32_t length = static_cast<int32_t>(encoded.size());
  if (nivra_encode(pixels.data(), width, height, reinterpret_cast<uint8_t*>(encoded.data()), &length) != 0) {
    throw std::runtime_error("nivra_encode failed");
  }
  encoded.resize(static_cast<size_t>(length));
  return encoded;
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
  const std::string first = EncodedPlane(100, 100, 10);
  const std::string second = EncodedPlane(100, 100, 2000);
  const std::string strips = first + second;
  const std::string source = TiffBytes(endianness, bigtiff,
                                       {StripDirectory(100, 100, 48124, 1000, first.size(), bigtiff),
                                        StripDirectory(100, 100, 48124, 1000 + first.size(), second.size(), bigtiff)},
                                       first_ifd, 1000, strips);
  const Metadata metadata =
      Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(first.size(), 100, 100, 2, endianness),
                    Encoded(second.size(), 100, 100, 2, endianness)));
  ASSERT_TRUE(metadata.IsNivraTiff());

  std::istringstream in(source);
  std::ostringstream out;
  const Metadata written = metadata.HandleNivraTiff(in, out);
  EXPECT_EQ(written, metadata);
  EXPECT_EQ(out.str(), TiffBytes(endianness, bigtiff,
                                 {StripDirectory(100, 100, 1, 1000, 20000, bigtiff),
                                  StripDirectory(100, 100, 1, 21000, 20000, bigtiff)},
                                 first_ifd, 1000, strips));
  // The rewritten headers are stored as they are, with the checksum of what was written.
  EXPECT_EQ(written.chunks[0]->checksum, util::Xxh3(std::string_view(out.str()).substr(0, 1000)));

  // Restoring decodes the strips in place: a plain TIFF that libtiff reads back.
  std::istringstream compressed(out.str());
  std::ostringstream decoded;
  written.DecodeStream(compressed, decoded);
  test::TempDir dir;
  test::WriteFile(dir / "decoded.tif", decoded.str());
  TIFF* tiff = TIFFOpen((dir / "decoded.tif").c_str(), "rc");  // one strip, not chopped
  ASSERT_NE(tiff, nullptr);
  for (const uint16_t start : {10, 2000}) {
    std::vector<uint16_t> pixels(100 * 100);
    ASSERT_EQ(TIFFReadEncodedStrip(tiff, 0, pixels.data(), 20000), 20000);
    for (size_t i = 0; i < pixels.size(); i += 997) EXPECT_EQ(pixels[i], start + i % 977) << i;
    TIFFReadDirectory(tiff);
  }
  TIFFClose(tiff);
}

INSTANTIATE_TEST_SUITE_P(Layouts, NivraTiffRewrite,
                         ::testing::Values(Layout{std::endian::little, false}, Layout{std::endian::little, true},
                                           Layout{std::endian::big, false}, Layout{std::endian::big, true}));

// The strips come back byte for byte after a round trip through the returned metadata.
void ExpectOpaqueRoundTrip(const Metadata& metadata, const std::string& source) {
  std::istringstream in(source);
  std::stringstream out;
  const Metadata written = metadata.HandleNivraTiff(in, out);
  for (const auto& chunk : written.chunks) EXPECT_NE(chunk->codec, Codec::Nivra);

  std::ostringstream restored;
  out.seekg(0);
  written.DecodeStream(out, restored);
  EXPECT_EQ(restored.str(), source);
}

TEST(NivraTiffRewrite, DirectoriesTheRewriteCannotServeKeepTheStripsOpaque) {
  // 8-bit encoded strips: the rewrite serves 16-bit planes only.
  auto first = StripDirectory(100, 100, 48124, 1000, 500, false);
  first[2].value = 8;
  ExpectOpaqueRoundTrip(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(500, 100, 100, 1))),
                        TiffBytes(std::endian::little, false, {first}, 8, 1000, test::RandomBytes(500)));
}

TEST(NivraTiffRewrite, StripsThatDoNotDecodeAreKeptOpaque) {
  ExpectOpaqueRoundTrip(Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(500))),
                        TiffBytes(std::endian::little, false, {StripDirectory(100, 100, 48124, 1000, 500, false)}, 8,
                                  1000, test::RandomBytes(500)));
}

TEST(NivraTiffRewrite, StripEntriesBeforeTheSizeEntriesAreRewrittenAlike) {
  // libtiff accepts entries in any order; the sizes must be known before the strips are.
  const auto reorder = [](std::vector<test::TiffEntry> entries) {
    std::stable_partition(entries.begin(), entries.end(),
                          [](const test::TiffEntry& entry) { return entry.tag == 273 || entry.tag == 279; });
    return entries;
  };
  const std::string plane = EncodedPlane(100, 100, 10);
  const std::string source = TiffBytes(std::endian::little, false,
                                       {reorder(StripDirectory(100, 100, 48124, 1000, plane.size(), false))}, 8,
                                       1000, plane);
  const Metadata metadata = Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(plane.size())));
  std::istringstream in(source);
  std::ostringstream out;
  metadata.HandleNivraTiff(in, out);
  EXPECT_EQ(out.str(), TiffBytes(std::endian::little, false, {reorder(StripDirectory(100, 100, 1, 1000, 20000, false))},
                                 8, 1000, plane));
}

// Directory chains libtiff tolerates but the rewrite cannot serve: the file is kept as it is.
struct Unrewritable {
  const char* name;
  std::function<void(std::vector<test::TiffEntry>&)> entries;
  std::function<void(std::string&)> bytes;
};

class NivraTiffDryRun : public ::testing::TestWithParam<Unrewritable> {};

TEST_P(NivraTiffDryRun, FailureKeepsTheStripsOpaque) {
  const std::string plane = EncodedPlane(200, 200, 10);
  auto entries = StripDirectory(200, 200, 48124, 1000, plane.size(), false);
  GetParam().entries(entries);
  std::string source = TiffBytes(std::endian::little, false, {entries}, 8, 1000, plane);
  GetParam().bytes(source);
  ExpectOpaqueRoundTrip(
      Describe(List(std::make_unique<chunk::UnspecifiedData>(1000), Encoded(plane.size(), 200, 200))), source);
}

const size_t kNextDirectoryField = 8 + 2 + 9 * 12;

INSTANTIATE_TEST_SUITE_P(
    Chains, NivraTiffDryRun,
    ::testing::Values(
        Unrewritable{"LinksBack", [](auto&) {}, [](std::string& bytes) { bytes[kNextDirectoryField] = 8; }},
        Unrewritable{"DanglingNextDirectory", [](auto&) {},
                     [](std::string& bytes) { bytes[kNextDirectoryField + 2] = 0x7f; }},
        // 200 x 200 x 2 bytes do not fit a SHORT byte count.
        Unrewritable{"ShortByteCountTooSmall", [](auto& entries) { entries[8].type = 3; }, [](std::string&) {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
