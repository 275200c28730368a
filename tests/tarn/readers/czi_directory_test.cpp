// The CZI directory parser on synthetic files: which sub-blocks become planes,
// which stay opaque, and which files it refuses to walk.
#include <gtest/gtest.h>

#include "readers/czi_builder.hpp"
#include "tarn/file/metadata/readers/czi_directory.hpp"

namespace tarn::test {
namespace {

using metadata::MemoryByteSource;
using metadata::czi::FindPlanes;
using metadata::czi::PixelType;
using metadata::czi::Plane;

std::vector<Plane> PlanesOf(const SparseFile& file) {
  SparseByteSource source(file);
  return FindPlanes(source);
}

std::vector<Plane> PlanesOfBytes(const std::vector<uint8_t>& bytes) {
  MemoryByteSource source(bytes);
  return FindPlanes(source);
}

TEST(CziDirectory, FindsAnUncompressedGray16Plane) {
  const auto built = BuildCzi({});
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 1u);
  // Segment header, 256 bytes of sub-block header, 11 bytes of XML.
  EXPECT_EQ(planes[0], (Plane{built.segments[0] + 32 + 256 + 11, 30, 5, 3, PixelType::kGray16, {{'C', 0}, {'Z', 0}}}));
}

TEST(CziDirectory, TakesEveryIntegerPixelTypeWithUnpaddedRows) {
  CziSpec spec;
  spec.blocks.assign(5, CziBlockSpec{});
  const int32_t types[] = {0, 1, 3, 4, 9};
  for (size_t i = 0; i < 5; ++i) {
    spec.blocks[i].pixel_type = types[i];
    spec.blocks[i].width = 147;  // a Bgr24 row of 441 bytes
    spec.blocks[i].height = 2;
    spec.blocks[i].metadata_size = static_cast<int32_t>(i * 100);
  }
  const auto built = BuildCzi(spec);
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 5u);
  const uint64_t lengths[] = {294, 588, 882, 1764, 1176};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(planes[i].offset, built.pixels[i]);
    EXPECT_EQ(planes[i].length, lengths[i]) << i;
    EXPECT_EQ(static_cast<int32_t>(planes[i].pixel_type), types[i]);
    EXPECT_EQ(planes[i].width, 147u);
  }
}

TEST(CziDirectory, LeavesEverythingButPlainFullResolutionPlanesOpaque) {
  CziSpec spec;
  spec.blocks.assign(11, CziBlockSpec{});
  spec.blocks[1].compression = 5;          // zstd
  spec.blocks[2].compression = 104;        // packed camera raw
  spec.blocks[3].logical_width = 10;       // pyramid level: stored at half size
  spec.blocks[4].pyramid_type = 1;
  spec.blocks[5].pixel_type = 2;           // float
  spec.blocks[6].file_part = 1;            // lives in another file
  spec.blocks[7].id = "DELETED";
  spec.blocks[8].data_size = 29;           // payload disagrees with the entry
  spec.blocks[9].extra = {{'T', 3, 3}};    // three time points in one sub-block
  spec.blocks[10].copy_pixel_type = 0;     // the sub-block's copy disagrees
  const auto built = BuildCzi(spec);
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 1u);
  EXPECT_EQ(planes[0].offset, built.pixels[0]);
}

TEST(CziDirectory, KeepsSixtyFourBitPositionsBeyondFourGiB) {
  CziSpec spec;
  spec.blocks.assign(2, CziBlockSpec{});
  spec.blocks[1].position = (uint64_t{6} << 30) + 64;
  const auto built = BuildCzi(spec);
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 2u);
  EXPECT_EQ(planes[1].offset, (uint64_t{6} << 30) + 64 + 32 + 256 + 11);
}

TEST(CziDirectory, ManyDimensionsPushThePixelsBack) {
  CziSpec spec;
  for (char letter : std::string("CZTSIHVBRM")) spec.blocks[0].extra.push_back({letter, 1, 1});
  // X, Y and 12 more: 16 + 32 + 14 x 20 = 328 header bytes.
  const auto built = BuildCzi(spec);
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 1u);
  EXPECT_EQ(planes[0].offset, built.segments[0] + 32 + 328 + 11);
}

TEST(CziDirectory, DescribesASubBlockListedTwiceOnce) {
  CziSpec spec;
  spec.blocks[0].directory_entries = 3;
  EXPECT_EQ(PlanesOf(BuildCzi(spec).file).size(), 1u);
}

TEST(CziDirectory, DropsASubBlockHiddenInsideAnother) {
  CziSpec spec;
  spec.blocks.assign(2, CziBlockSpec{});
  spec.blocks[0].width = 100;
  spec.blocks[0].height = 20;
  spec.blocks[1].position = BuildCzi(spec).pixels[0];  // a whole sub-block inside the first one's pixels
  const auto built = BuildCzi(spec);
  const auto planes = PlanesOf(built.file);
  ASSERT_EQ(planes.size(), 1u);
  EXPECT_EQ(planes[0].offset, built.pixels[0]);
}

TEST(CziDirectory, ReadsHeadersNotPixels) {
  CziSpec spec;
  spec.blocks.assign(3, CziBlockSpec{});
  for (auto& block : spec.blocks) {
    block.width = 1024;
    block.height = 1024;  // 2 MiB of pixels each
  }
  const auto built = BuildCzi(spec);
  SparseByteSource sparse(built.file);
  CountingByteSource counting(sparse);
  EXPECT_EQ(FindPlanes(counting).size(), 3u);
  EXPECT_LT(counting.bytes_read, 8192u);
}

TEST(CziDirectory, RefusesFilesItCannotWalk) {
  CziSpec spec;
  spec.update_pending = 1;
  EXPECT_THROW(PlanesOf(BuildCzi(spec).file), std::runtime_error);
  spec = {};
  spec.schema = "DE";
  EXPECT_THROW(PlanesOf(BuildCzi(spec).file), std::runtime_error);
  spec = {};
  spec.entry_count = 0x7FFFFFFF;
  EXPECT_THROW(PlanesOf(BuildCzi(spec).file), std::runtime_error);
  spec.entry_count = -1;
  EXPECT_THROW(PlanesOf(BuildCzi(spec).file), std::runtime_error);

  auto bytes = BuildCzi({}).file.Flatten();
  bytes[0] = 'X';
  EXPECT_THROW(PlanesOfBytes(bytes), std::runtime_error);
  EXPECT_THROW(PlanesOfBytes({}), std::runtime_error);
}

TEST(CziDirectory, RefusesADirectoryOutsideTheFile) {
  const auto built = BuildCzi({});
  auto bytes = built.file.Flatten();
  bytes[32 + 52 + 7] = 0x01;  // directory position beyond any real file
  EXPECT_THROW(PlanesOfBytes(bytes), std::runtime_error);
  bytes.resize(built.directory + 40);  // directory cut short
  bytes[32 + 52 + 7] = 0;
  EXPECT_THROW(PlanesOfBytes(bytes), std::runtime_error);
}

// Whatever single byte is damaged, the parser either refuses or returns planes
// that lie inside the file without overlapping.
TEST(CziDirectory, SurvivesEverySingleByteCorruption) {
  CziSpec spec;
  spec.blocks.assign(2, CziBlockSpec{});
  spec.blocks[1].pixel_type = 3;
  const auto good = BuildCzi(spec).file.Flatten();
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      auto bytes = good;
      bytes[i] ^= flip;
      try {
        const auto planes = PlanesOfBytes(bytes);
        for (size_t p = 0; p < planes.size(); ++p) {
          ASSERT_LE(planes[p].offset + planes[p].length, bytes.size());
          if (p > 0) {
            ASSERT_LE(planes[p - 1].offset + planes[p - 1].length, planes[p].offset);
          }
        }
      } catch (const std::runtime_error&) {
      }
    }
  }
}

}  // namespace
}  // namespace tarn::test
