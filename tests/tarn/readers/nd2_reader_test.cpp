// The ND2 parser on synthetic files: the frames it finds, and every kind of
// file it must refuse rather than guess about.
#include <gtest/gtest.h>

#include "readers/nd2_builder.hpp"
#include "tarn/file/metadata/readers/nd2_reader.hpp"

namespace tarn::test {
namespace {

using metadata::MemoryByteSource;
using metadata::nd2::FindFrames;
using metadata::nd2::Frame;
using metadata::nd2::NotCompatible;

std::vector<Frame> FramesOf(const SparseFile& file) {
  SparseByteSource source(file);
  return FindFrames(source);
}

std::vector<Frame> FramesOfBytes(const std::vector<uint8_t>& bytes) {
  MemoryByteSource source(bytes);
  return FindFrames(source);
}

Frame Expected(uint64_t index, uint64_t offset, uint32_t width, uint32_t height, uint32_t width_bytes,
               uint16_t components, uint16_t bytes) {
  return Frame{index, offset, uint64_t{width_bytes} * height, width, height, width_bytes, components, bytes};
}

TEST(Nd2Reader, FindsEveryFrameWithPaddedRowsOfAnOddWidth) {
  Nd2Spec spec;  // 5 x 3, 16-bit, rows of 10 bytes padded to 12
  spec.frames = 3;
  const auto built = BuildNd2(spec);
  const auto frames = FramesOf(built.file);
  ASSERT_EQ(frames.size(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i], Expected(i, built.pixels[i], 5, 3, 12, 1, 2));
  }
  // Pixels follow the 16-byte header, the 4072-byte name field and the 8-byte stamp.
  EXPECT_EQ(frames[0].offset, built.frame_chunks[0] + 4096);
}

TEST(Nd2Reader, ListsFramesByOffsetWhateverTheMapOrder) {
  Nd2Spec spec;  // like the pims sample: 38 x 31, two components
  spec.width = 38;
  spec.height = 31;
  spec.components = 2;
  spec.width_bytes = 152;
  spec.frames = 30;
  const auto built = BuildNd2(spec);
  const auto frames = FramesOf(built.file);
  ASSERT_EQ(frames.size(), 30u);
  for (uint64_t i = 0; i < 30; ++i) {
    EXPECT_EQ(frames[i], Expected(i, built.pixels[i], 38, 31, 152, 2, 2)) << i;
  }
}

TEST(Nd2Reader, EightBitComponentsAndShortNameFields) {
  Nd2Spec spec;
  spec.width = 7;
  spec.components = 3;
  spec.bits = 8;
  spec.width_bytes = 24;  // 21 bytes of samples, 3 of padding
  spec.image_name_length = 24;
  spec.alignment = 8;
  const auto built = BuildNd2(spec);
  const auto frames = FramesOf(built.file);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], Expected(1, built.frame_chunks[1] + 16 + 24 + 8, 7, 3, 24, 3, 1));
}

TEST(Nd2Reader, ReadsXmlAttributesOfVersion2Files) {
  Nd2Spec spec;
  spec.version = "Ver2.1";
  spec.xml_attributes = true;
  spec.width = 235;
  spec.width_bytes = 472;
  const auto built = BuildNd2(spec);
  const auto frames = FramesOf(built.file);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], Expected(0, built.pixels[0], 235, 3, 472, 1, 2));
}

TEST(Nd2Reader, KeepsSixtyFourBitOffsetsBeyondFourGiB) {
  Nd2Spec spec;
  spec.frame_base = (uint64_t{5} << 30) + 4096;
  const auto built = BuildNd2(spec);
  const auto frames = FramesOf(built.file);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_GT(frames[0].offset, uint64_t{1} << 32);
  EXPECT_EQ(frames[0].offset, spec.frame_base + 4096);
  EXPECT_EQ(frames[1].offset, built.pixels[1]);
}

TEST(Nd2Reader, LeavesBytesAfterThePlaneOutOfTheFrame) {
  Nd2Spec spec;
  spec.frame_extra = 4096;
  const auto frames = FramesOf(BuildNd2(spec).file);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].length, 36u);
}

TEST(Nd2Reader, AcceptsTileSizesEqualToTheImage) {
  Nd2Spec spec;
  spec.tile_width = 5;
  spec.tile_height = 3;
  EXPECT_EQ(FramesOf(BuildNd2(spec).file).size(), 2u);
  spec.tile_width = 0;
  EXPECT_EQ(FramesOf(BuildNd2(spec).file).size(), 2u);
}

TEST(Nd2Reader, ReadsHeadersNotPixels) {
  Nd2Spec spec;
  spec.width = spec.width_bytes = 2048;
  spec.bits = 8;
  spec.height = 1024;  // 2 MiB of pixels per frame
  spec.frames = 3;
  const auto built = BuildNd2(spec);
  SparseByteSource sparse(built.file);
  CountingByteSource counting(sparse);
  EXPECT_EQ(FindFrames(counting).size(), 3u);
  EXPECT_LT(counting.bytes_read, 8192u);
}

// Each of these must end in the one refusal the pipeline falls back on.
void ExpectRefused(const Nd2Spec& spec) { EXPECT_THROW(FramesOf(BuildNd2(spec).file), NotCompatible); }

TEST(Nd2Reader, RefusesAttributesItCannotTrust) {
  Nd2Spec spec;
  spec.compression = 0;  // lossless zlib frames
  ExpectRefused(spec);
  spec.compression = 1;
  ExpectRefused(spec);
  spec = {};
  spec.bits = 12;
  ExpectRefused(spec);
  spec.bits = 32;
  ExpectRefused(spec);
  spec = {};
  spec.width_bytes = 9;  // below 5 pixels x 2 bytes
  ExpectRefused(spec);
  spec = {};
  spec.width = 0;
  ExpectRefused(spec);
  spec = {};
  spec.tile_width = 2;
  ExpectRefused(spec);
  spec = {};
  spec.components = 0;
  ExpectRefused(spec);
}

TEST(Nd2Reader, RefusesFramesShorterThanTheirAttributes) {
  Nd2Spec spec;
  auto built = BuildNd2(spec);
  auto bytes = built.file.Flatten();
  bytes[built.frame_chunks[1] + 8] -= 1;  // data_len one byte short
  EXPECT_THROW(FramesOfBytes(bytes), NotCompatible);
}

TEST(Nd2Reader, RefusesAmbiguousFrameNumbers) {
  Nd2Spec spec;
  spec.frame_names = {"ImageDataSeq|1!", "ImageDataSeq|01!"};
  ExpectRefused(spec);
  spec.frame_names = {"ImageDataSeq|0!", "ImageDataSeq|x!"};
  ExpectRefused(spec);
  spec.frames = 0;
  spec.frame_names = {};
  ExpectRefused(spec);
}

TEST(Nd2Reader, RefusesOtherContainersAndVersions) {
  Nd2Spec spec;
  spec.version = "Ver1.0";
  ExpectRefused(spec);
  spec.version = "Ver4.0";
  ExpectRefused(spec);

  auto bytes = BuildNd2({}).file.Flatten();
  const std::vector<uint8_t> jpeg2000{0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
  std::copy(jpeg2000.begin(), jpeg2000.end(), bytes.begin());
  EXPECT_THROW(FramesOfBytes(bytes), NotCompatible);
  EXPECT_THROW(FramesOfBytes(std::vector<uint8_t>(100, 0)), NotCompatible);
  EXPECT_THROW(FramesOfBytes({}), NotCompatible);
}

TEST(Nd2Reader, RefusesDamagedChunkMaps) {
  const auto built = BuildNd2({});
  const auto good = built.file.Flatten();

  auto truncated = good;
  truncated.resize(truncated.size() - 1);  // no trailer at the end any more
  EXPECT_THROW(FramesOfBytes(truncated), NotCompatible);

  auto outside = good;
  outside[outside.size() - 1] = 0x7F;  // map position far past the end
  EXPECT_THROW(FramesOfBytes(outside), NotCompatible);

  auto wrong = good;
  wrong[wrong.size() - 8] += 16;  // map position inside the map chunk
  EXPECT_THROW(FramesOfBytes(wrong), NotCompatible);

  // An entry pointing at another chunk: the names disagree.
  auto misdirected = good;
  const std::string needle = "ImageDataSeq|1!";
  const auto at = std::search(misdirected.begin() + built.map, misdirected.end(), needle.begin(), needle.end());
  ASSERT_NE(at, misdirected.end());
  const uint64_t other = built.frame_chunks[0];
  for (int i = 0; i < 8; ++i) at[needle.size() + i] = static_cast<uint8_t>(other >> (8 * i));
  EXPECT_THROW(FramesOfBytes(misdirected), NotCompatible);
}

TEST(Nd2Reader, RefusesFilesCutShortAnywhere) {
  Nd2Spec spec;
  spec.alignment = 16;
  const auto bytes = BuildNd2(spec).file.Flatten();
  for (size_t cut = 0; cut < bytes.size(); cut += 7) {
    std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + cut);
    EXPECT_THROW(FramesOfBytes(shorter), NotCompatible) << cut;
  }
}

// Whatever single byte is damaged, the parser either refuses or returns frames
// that lie inside the file without overlapping.
TEST(Nd2Reader, SurvivesEverySingleByteCorruption) {
  Nd2Spec spec;
  spec.alignment = 16;
  spec.image_name_length = 20;
  const auto good = BuildNd2(spec).file.Flatten();
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      auto bytes = good;
      bytes[i] ^= flip;
      try {
        const auto frames = FramesOfBytes(bytes);
        for (size_t f = 0; f < frames.size(); ++f) {
          ASSERT_LE(frames[f].offset + frames[f].length, bytes.size());
          if (f > 0) {
            ASSERT_LE(frames[f - 1].offset + frames[f - 1].length, frames[f].offset);
          }
        }
      } catch (const NotCompatible&) {
      }
    }
  }
}

}  // namespace
}  // namespace tarn::test
