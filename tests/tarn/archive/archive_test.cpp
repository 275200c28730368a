// Archives opened in place: planes and byte ranges equal the original's bytes, damage in
// one chunk fails only what reads it, and planes know where they lie in their source.
#include "tarn/archive/archive.hpp"

#include <random>
#include <set>

#include <tiffio.h>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/file/metadata/readers/byte_source.hpp"
#include "tarn/file/metadata/readers/czi_directory.hpp"
#include "tarn/file/metadata/readers/nd2_reader.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn::archive {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

fs::path Compressed(const fs::path& source, const TempDir& dir) {
  const fs::path target = dir / (source.filename().string() + ".nivra");
  EXPECT_EQ(TarnCompressFile(source.string().c_str(), target.string().c_str(), nullptr), kTarnStatusOk);
  return target;
}

// The plane's pixels as they lie in the original, row padding left out.
std::vector<uint8_t> PlaneInOriginal(const std::string& original, const PlaneInfo& plane) {
  std::vector<uint8_t> bytes;
  const uint64_t row = uint64_t{plane.width} * plane.channels * plane.bytes_per_sample;
  for (uint64_t y = 0; y < plane.height; ++y) {
    const char* start = original.data() + plane.source_offset + y * plane.row_bytes;
    bytes.insert(bytes.end(), start, start + row);
  }
  return bytes;
}

class RealArchive : public testing::TestWithParam<const char*> {};

TEST_P(RealArchive, PlanesAndRangesEqualTheOriginal) {
  const fs::path fixtures = test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "no shared samples";
  const fs::path source = fixtures / GetParam();
  TempDir dir;
  const Archive archive = Archive::Open(Compressed(source, dir));
  const std::string original = test::ReadFile(source);
  ASSERT_EQ(archive.Size(), original.size());
  ASSERT_FALSE(archive.Planes().empty());
  for (size_t i = 0; i < archive.Planes().size(); ++i) {
    const DecodedPlane plane = archive.DecodePlane(i);
    EXPECT_EQ(plane.bytes, PlaneInOriginal(original, archive.Planes()[i])) << "plane " << i;
    EXPECT_FALSE(plane.prepared);
  }
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 40; ++trial) {
    const uint64_t offset = random() % original.size();
    const uint64_t size = std::min<uint64_t>(random() % 300000, original.size() - offset);
    const std::vector<uint8_t> got = archive.Read(offset, size);
    ASSERT_EQ(std::string(got.begin(), got.end()), original.substr(offset, size)) << offset << ":" << size;
  }
  EXPECT_THROW(archive.Read(original.size() - 1, 2), std::out_of_range);
  EXPECT_TRUE(archive.Read(original.size(), 0).empty());
}

INSTANTIATE_TEST_SUITE_P(Samples, RealArchive,
                         testing::Values("tif-ijhyper-pyimagej-test_4_channel.tif", "tif-bian-cancer_cell_migration_crop.tif",
                                         "tif-mei-epson-perfectionV800.tiff", "nd2-pims-cluster.nd2",
                                         "czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi"));

TEST(ArchivePositions, ComeFromTheOriginalsOwnHeaders) {
  const fs::path fixtures = test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "no shared samples";
  TempDir dir;
  {
    const Archive archive = Archive::Open(Compressed(fixtures / "tif-ijhyper-pyimagej-test_4_channel.tif", dir));
    const auto positions = archive.Positions();
    ASSERT_EQ(positions.size(), 4u);
    for (int64_t k = 0; k < 4; ++k) {
      EXPECT_EQ(positions[k], (Position{{"directory", k}, {"channel", k}, {"slice", 0}, {"frame", 0}}));
    }
  }
  {
    const fs::path source = fixtures / "nd2-pims-cluster.nd2";
    metadata::FileByteSource original(source);
    const auto frames = metadata::nd2::FindFrames(original);
    const Archive archive = Archive::Open(Compressed(source, dir));
    const auto positions = archive.Positions();
    ASSERT_EQ(positions.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(positions[i], (Position{{"sequence", static_cast<int64_t>(frames[i].index)}}));
    }
  }
  {
    const fs::path source = fixtures / "czi-czitools-CellDivision_T3_Z5_CH2_X240_Y170.czi";
    metadata::FileByteSource original(source);
    const auto planes = metadata::czi::FindPlanes(original);
    const Archive archive = Archive::Open(Compressed(source, dir));
    const auto positions = archive.Positions();
    ASSERT_EQ(positions.size(), planes.size());
    std::set<Position> distinct(positions.begin(), positions.end());
    EXPECT_EQ(distinct.size(), 30u);  // Z5 C2 T3, every plane somewhere else
    for (size_t i = 0; i < planes.size(); ++i) {
      ASSERT_EQ(positions[i].size(), planes[i].coordinates.size());
      for (size_t d = 0; d < planes[i].coordinates.size(); ++d) {
        EXPECT_EQ(positions[i][d].first, std::string(1, planes[i].coordinates[d].first));
        EXPECT_EQ(positions[i][d].second, planes[i].coordinates[d].second);
      }
    }
  }
}

// A main image with one SubIFD image below it, as DNGs carry their raw images.
void WriteTiffWithSubDirectory(const fs::path& path) {
  TIFF* tiff = TIFFOpen(path.string().c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  const auto image = [&](uint32_t width, uint32_t height) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
    std::vector<uint16_t> pixels(size_t{width} * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(1000 + (i * 7919) % 613);
    TIFFWriteEncodedStrip(tiff, 0, pixels.data(), static_cast<tmsize_t>(pixels.size() * 2));
  };
  uint64_t sub_offsets[1] = {0};
  TIFFSetField(tiff, TIFFTAG_SUBIFD, 1, sub_offsets);
  image(64, 48);
  TIFFWriteDirectory(tiff);  // the next directory written is the SubIFD
  image(160, 120);
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);
}

TEST(ArchivePositions, NameTheSubDirectoryOfRawImages) {
  TempDir dir;
  const fs::path source = dir / "raw.tif";
  WriteTiffWithSubDirectory(source);
  const Archive archive = Archive::Open(Compressed(source, dir));
  ASSERT_EQ(archive.Planes().size(), 2u);
  std::multiset<Position> positions;
  for (const Position& position : archive.Positions()) positions.insert(position);
  EXPECT_EQ(positions, (std::multiset<Position>{{{"directory", 0}}, {{"directory", 0}, {"subdirectory", 0}}}));
}

TEST(ArchiveDamage, AFlippedBitFailsOnlyThePlaneItLandsIn) {
  const fs::path fixtures = test::FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "no shared samples";
  TempDir dir;
  const fs::path source = fixtures / "tif-bian-cancer_cell_migration_crop.tif";
  const fs::path path = Compressed(source, dir);
  const std::string original = test::ReadFile(source);
  const Archive intact = Archive::Open(path);
  const size_t damaged = 5;
  const PlaneInfo plane = intact.Planes()[damaged];
  std::string bytes = test::ReadFile(path);
  bytes[plane.archive_offset + plane.stored_length / 2] ^= 0x10;
  test::WriteFile(path, bytes);

  const Archive archive = Archive::Open(path);  // the block is intact
  for (size_t i = 0; i < archive.Planes().size(); ++i) {
    if (i == damaged) {
      try {
        archive.DecodePlane(i);
        ADD_FAILURE() << "the damaged plane decoded";
      } catch (const Error& error) {
        EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
      }
    } else {
      EXPECT_EQ(archive.DecodePlane(i).bytes, PlaneInOriginal(original, archive.Planes()[i])) << i;
    }
  }
  EXPECT_THROW(archive.Read(plane.source_offset + 10, 4), Error);
  const uint64_t next = archive.Planes()[damaged + 1].source_offset;
  const auto after = archive.Read(next, 1000);
  EXPECT_EQ(std::string(after.begin(), after.end()), original.substr(next, 1000));
}

TEST(ArchiveOpen, RefusesWhatIsNotAnArchive) {
  TempDir dir;
  test::WriteFile(dir / "plain.nivra", test::TextLikeBytes(5000));
  const struct {
    fs::path path;
    TarnStatus status;
  } cases[] = {{dir / "plain.nivra", kTarnStatusInvalidFileContent}, {dir / "missing.nivra", kTarnStatusCouldNotReadFile}};
  for (const auto& c : cases) {
    try {
      Archive::Open(c.path);
      ADD_FAILURE() << c.path;
    } catch (const Error& error) {
      EXPECT_EQ(error.status(), c.status) << c.path << ": " << error.what();
    }
  }
}

TEST(ArchiveOpen, StoredFileOfTheEarlierWriterListsItsPlanes) {
  const Archive archive = Archive::Open(fs::path(TARN_VECTORS_DIR) / "v4-image.tif.nivra");
  const std::string original = test::ReadFile(fs::path(TARN_VECTORS_DIR) / "v4-image.tif");
  ASSERT_EQ(archive.Planes().size(), 2u);
  EXPECT_EQ(archive.Planes()[0].codec, Codec::Nivra);
  EXPECT_EQ(archive.Planes()[1].codec, Codec::Zstd);
  EXPECT_EQ(archive.Planes()[0].endianness, std::endian::big);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(archive.DecodePlane(i).bytes, PlaneInOriginal(original, archive.Planes()[i]));
  EXPECT_EQ(archive.Positions(), (std::vector<Position>{{{"directory", 0}}, {{"directory", 1}}}));
}

}  // namespace
}  // namespace tarn::archive
