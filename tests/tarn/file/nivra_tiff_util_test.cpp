#include "tarn/file/nivra_tiff_util.hpp"

#include <sstream>

#include <gtest/gtest.h>

#include "file/tiff_bytes.hpp"
#include "test_util.hpp"

namespace tarn::metadata {
namespace {

using namespace std::string_literals;
using test::StripDirectory;
using test::TiffBytes;

struct Layout {
  std::endian endianness;
  bool bigtiff;
};

class TiffRewrite : public ::testing::TestWithParam<Layout> {};

// Header copy, directory rewrite and the rest copied: what the compressed output starts with.
std::string Rewrite(const std::string& source) {
  std::istringstream in(source);
  std::ostringstream out;
  const TiffHeaderInfo info = ReadTiffHeaderInfo(in);
  CopyTiffHeader(in, out, info.first_ifd_offset);
  UpdateTiffMetadataForCompressedOutput(in, out, info.first_ifd_offset, info.bigtiff, info.endianness);
  const auto rest = source.substr(static_cast<size_t>(in.tellg()));
  out << rest;
  return out.str();
}

TEST_P(TiffRewrite, DirectoriesDescribeTheDecodedStrips) {
  const auto [endianness, bigtiff] = GetParam();
  const std::string strips = test::RandomBytes(5000 + 6000);
  const uint64_t first_ifd = bigtiff ? 16 : 8;
  const std::string source = TiffBytes(endianness, bigtiff,
                                       {StripDirectory(100, 100, 48124, 1000, 5000, bigtiff),
                                        StripDirectory(100, 100, 48124, 6000, 6000, bigtiff)},
                                       first_ifd, 1000, strips);
  const std::string expected = TiffBytes(endianness, bigtiff,
                                         {StripDirectory(100, 100, 1, 1000, 20000, bigtiff),
                                          StripDirectory(100, 100, 1, 21000, 20000, bigtiff)},
                                         first_ifd, 1000, strips);
  EXPECT_EQ(Rewrite(source), expected);

  std::istringstream in(source);
  const TiffHeaderInfo info = ReadTiffHeaderInfo(in);
  EXPECT_EQ(info.bigtiff, bigtiff);
  EXPECT_EQ(info.endianness, endianness);
  EXPECT_EQ(info.first_ifd_offset, first_ifd);
  std::ostringstream out;
  const auto layouts = UpdateTiffMetadataForCompressedOutput(in, out, first_ifd, bigtiff, endianness);
  ASSERT_EQ(layouts.size(), 2u);
  EXPECT_EQ(layouts[1].strip_offset, 6000u);
  EXPECT_EQ(layouts[1].strip_byte_count, 6000u);
  EXPECT_EQ(layouts[1].compression, 48124u);
  EXPECT_EQ(layouts[0].dimensions.RawSize(), 20000u);
}

TEST_P(TiffRewrite, ChainThatLinksBackIsRefused) {
  const auto [endianness, bigtiff] = GetParam();
  const uint64_t first_ifd = bigtiff ? 16 : 8;
  std::string source = TiffBytes(endianness, bigtiff,
                                 {StripDirectory(10, 10, 48124, 1000, 50, bigtiff),
                                  StripDirectory(10, 10, 48124, 1050, 50, bigtiff)},
                                 first_ifd, 1000, test::RandomBytes(100));
  // Point the second directory's next field back at the first directory: a loop.
  const size_t entries = 9;
  const size_t ifd_size = (bigtiff ? 8 + entries * 20 + 8 : 2 + entries * 12 + 4);
  const size_t next_field = first_ifd + 2 * ifd_size - (bigtiff ? 8 : 4);
  std::string pointer;
  test::AppendUint(pointer, first_ifd, endianness, bigtiff ? 8 : 4);
  source.replace(next_field, pointer.size(), pointer);

  std::istringstream in(source);
  std::ostringstream out(source.substr(0, first_ifd), std::ios::ate);
  try {
    UpdateTiffMetadataForCompressedOutput(in, out, first_ifd, bigtiff, endianness);
    FAIL() << "a looping chain was rewritten";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("links back"), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TiffRewrite,
                         ::testing::Values(Layout{std::endian::little, false}, Layout{std::endian::little, true},
                                           Layout{std::endian::big, false}, Layout{std::endian::big, true}));

TEST(TiffRewrite, FirstDirectoryAtZeroLeavesEverythingAlone) {
  std::istringstream in("II*\0\0\0\0\0"s);
  std::ostringstream out;
  EXPECT_TRUE(UpdateTiffMetadataForCompressedOutput(in, out, 0, false, std::endian::little).empty());
  EXPECT_TRUE(out.str().empty());
}

TEST(TiffRewrite, DecodedOffsetThatAShortCannotHoldIsRefused) {
  auto first = StripDirectory(200, 200, 48124, 1000, 50, false);
  auto second = StripDirectory(200, 200, 48124, 1050, 50, false);
  second[5] = {273, 3, 1, 1050};  // SHORT: 1000 + 80000 does not fit
  const std::string source = TiffBytes(std::endian::little, false, {first, second}, 8, 1000, test::RandomBytes(100));
  std::istringstream in(source);
  std::ostringstream out(source.substr(0, 8), std::ios::ate);
  try {
    UpdateTiffMetadataForCompressedOutput(in, out, 8, false, std::endian::little);
    FAIL() << "a truncated offset was written";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot hold the decoded value 81000 in 2 bytes"), std::string::npos)
        << error.what();
  }
}

TEST(TiffHeader, RefusesWhatIsNotATiff) {
  std::istringstream wrong_order("IM*\0\0\0\0\0"s);
  EXPECT_THROW(
      {
        try {
          ReadTiffHeaderInfo(wrong_order);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "Invalid TIFF endianness");
          throw;
        }
      },
      std::runtime_error);
  std::istringstream wrong_version("II\x2c\0\x08\0\0\0"s);
  try {
    ReadTiffHeaderInfo(wrong_version);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Unsupported TIFF version");
  }
  std::istringstream truncated("MM\0*\0"s);
  try {
    ReadTiffHeaderInfo(truncated);
    FAIL();
  } catch (const std::ios_base::failure& error) {
    EXPECT_NE(std::string(error.what()).find("Failed to read from input stream in ReadUint"), std::string::npos);
  }
}

TEST(TiffHeader, CopiesExactlyTheLeadingBytes) {
  std::istringstream in("0123456789");
  in.seekg(7);
  std::ostringstream out;
  out << "x";
  CopyTiffHeader(in, out, 4);
  EXPECT_EQ(out.str(), "x0123");
}

TEST(TiffUint, ByteOrderAndWidths) {
  std::istringstream in("\x12\x34\x56\x78\x9a\xbc\xde\xf0"s);
  uint16_t small = 0;
  ReadUint(in, small, std::endian::big, 2);
  EXPECT_EQ(small, 0x1234);
  uint32_t middle = 0;
  ReadUint(in, middle, std::endian::little, 4);
  EXPECT_EQ(middle, 0xbc9a7856u);
  uint64_t large = 0;
  EXPECT_THROW(ReadUint(in, large, std::endian::little, 8), std::ios_base::failure);

  std::ostringstream out;
  WriteUint(out, 0x0102030405060708ull, std::endian::big, 4);
  WriteUint(out, 0x0102, std::endian::little, 2);
  EXPECT_EQ(out.str(), "\x05\x06\x07\x08\x02\x01"s);
  try {
    WriteUint(out, 1, std::endian::little, 9);
    FAIL();
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "Size exceeds type width in WriteUint");
  }
}

}  // namespace
}  // namespace tarn::metadata
