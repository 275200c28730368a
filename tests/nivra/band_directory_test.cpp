// The band directory: the cut the encoder makes, and the decoder's refusal of
// directories whose bands miss rows, overlap, or do not add up to the stream.
#include <gtest/gtest.h>

#include "codec/bands.hpp"

namespace codec = Brimlake::Nivra::codec;

namespace {

// A directory of bands with the given row counts, each with 8 bytes of rANS and 2 of extra bits.
std::vector<uint8_t> Stream(const std::vector<uint32_t>& rows, std::size_t trailing = 0) {
  std::vector<codec::BandEntry> entries(rows.size());
  for (std::size_t b = 0; b < rows.size(); ++b) {
    entries[b].band.rows = rows[b];
    entries[b].rans_size = 8;
    entries[b].bits_size = 2;
    entries[b].checksum = 0x0102030405060708ull * (b + 1);
  }
  std::vector<uint8_t> out;
  codec::WriteBandDirectory(out, entries);
  out.resize(out.size() + rows.size() * 10 + trailing, 0xEE);
  return out;
}

bool Read(const std::vector<uint8_t>& stream, uint32_t height, std::vector<codec::BandEntry>& bands) {
  codec::ByteReader in(stream.data(), stream.size());
  return codec::ReadBandDirectory(in, height, bands);
}

}  // namespace

TEST(BandDirectory, ReadsWhatWasWritten) {
  std::vector<codec::BandEntry> bands;
  auto stream = Stream({2, 3, 5});
  ASSERT_TRUE(Read(stream, 10, bands));
  ASSERT_EQ(bands.size(), 3u);
  EXPECT_EQ(bands[1].band.first_row, 2u);
  EXPECT_EQ(bands[2].band.first_row, 5u);
  EXPECT_EQ(bands[2].band.rows, 5u);
  EXPECT_EQ(bands[2].checksum, 0x0102030405060708ull * 3);
  EXPECT_EQ(bands[1].rans, bands[0].bits + 2);
  EXPECT_EQ(bands[2].bits + 2, stream.data() + stream.size());
}

TEST(BandDirectory, RefusesBadCuts) {
  std::vector<codec::BandEntry> bands;
  EXPECT_FALSE(Read(Stream({2, 3, 4}), 10, bands)) << "a row left uncovered";
  EXPECT_FALSE(Read(Stream({2, 3, 6}), 10, bands)) << "rows beyond the image (bands overlapping)";
  EXPECT_FALSE(Read(Stream({2, 0, 8}), 10, bands)) << "an empty band";
  EXPECT_FALSE(Read(Stream({}), 10, bands)) << "no band";
  EXPECT_FALSE(Read(Stream({1, 1, 1}), 2, bands)) << "more bands than rows";
  EXPECT_FALSE(Read(Stream({2, 3, 5}, 1), 10, bands)) << "bytes after the last band";
  auto cut = Stream({2, 3, 5});
  cut.pop_back();
  EXPECT_FALSE(Read(cut, 10, bands)) << "last band cut short";
  // A count far beyond what the bytes could hold is refused before anything is allocated.
  std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF, 0x07, 1, 8, 2};
  EXPECT_FALSE(Read(huge, 0x7FFFFFFF, bands));
}

TEST(BandDirectory, EncoderCutDependsOnTheImageSizeAlone) {
  for (auto [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{
           {1, 1}, {7, 3}, {64, 64}, {1024, 1024}, {1024, 33}, {6000, 4000}, {1, 1u << 20}, {1u << 20, 1}}) {
    auto bands = codec::PlanBands(w, h);
    uint32_t row = 0;
    for (const auto& band : bands) {
      EXPECT_EQ(band.first_row, row);
      EXPECT_GE(band.rows, 1u);
      if (row != 0) {
        EXPECT_EQ(band.first_row % 2, 0u);
      }
      row += band.rows;
    }
    EXPECT_EQ(row, h) << w << " x " << h;
    if (uint64_t{w} * h < (1u << 18)) {
      EXPECT_EQ(bands.size(), 1u) << w << " x " << h;
    }
  }
  EXPECT_GE(codec::PlanBands(6000, 4000).size(), 64u) << "a large plane must use many cores";
}
