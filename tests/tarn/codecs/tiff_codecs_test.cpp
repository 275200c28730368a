// LZW, PackBits and horizontal differencing: round trips, the clears that are replayed,
// PackBits' literal merging as libtiff does it, and the encoders' bytes pinned.
#include <gtest/gtest.h>

#include <random>

#include "tarn/codecs/packbits.hpp"
#include "tarn/codecs/tiff_lzw.hpp"
#include "tarn/codecs/tiff_predictor.hpp"
#include "tarn/tarn.h"
#include "tarn/util/checksum.hpp"
#include "test_util.hpp"

namespace tarn::codecs {
namespace {

std::vector<uint8_t> Bytes(size_t count, uint32_t seed, unsigned spread) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i / 7 + random() % spread);
  return bytes;
}

std::string Sum(const std::vector<uint8_t>& bytes) { return util::ChecksumText(util::Xxh3(std::as_bytes(std::span(bytes)))); }

TEST(TiffLzw, RoundTripsWithTheClearsItWasGiven) {
  const std::vector<uint8_t> bytes = Bytes(100000, 3, 200);  // fills the table many times
  for (const std::vector<uint64_t>& clears :
       {std::vector<uint64_t>{0}, std::vector<uint64_t>{}, std::vector<uint64_t>{0, 0, 5000, 5001, 100000}}) {
    const std::vector<uint8_t> stream = lzw::Encode(bytes, clears);
    const lzw::Decoded decoded = lzw::Decode(stream, bytes.size());
    EXPECT_EQ(decoded.bytes, bytes);
    EXPECT_EQ(decoded.clears, clears);
    EXPECT_TRUE(decoded.eoi);
    EXPECT_EQ(decoded.end, stream.size());
  }
  EXPECT_THROW(lzw::Decode(lzw::Encode(bytes, std::vector<uint64_t>{0}), bytes.size() - 1), lzw::FormatError);
  const std::vector<uint8_t> garbage{0x80, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_THROW(lzw::Decode(garbage, 1000), lzw::FormatError);
}

TEST(PackBits, RoundTripsRowByRowAndMergesAsLibtiffDoes) {
  const std::vector<uint8_t> bytes = Bytes(5000, 9, 2);
  for (size_t row : {size_t{1}, size_t{37}, size_t{5000}}) {
    EXPECT_EQ(packbits::Decode(packbits::Encode(bytes, row), bytes.size()), bytes);
  }
  // A literal, a run of two and a single byte become one literal of four.
  const std::vector<uint8_t> merged{1, 2, 2, 3};
  EXPECT_EQ(packbits::Encode(merged, 4), (std::vector<uint8_t>{3, 1, 2, 2, 3}));
  const std::vector<uint8_t> run(300, 7);
  EXPECT_EQ(packbits::Encode(run, 300), (std::vector<uint8_t>{0x81, 7, 0x81, 7, 0xD5, 7}));
  EXPECT_THROW(packbits::Decode(std::vector<uint8_t>{5, 1}, 6), packbits::FormatError);
}

TEST(TiffPredictor, UndoesWhatItApplies) {
  for (const predictor::Layout& layout : {predictor::Layout{30, 1, 3, false}, predictor::Layout{40, 2, 1, true},
                                          predictor::Layout{40, 2, 2, false}, predictor::Layout{40, 4, 1, false}}) {
    std::vector<uint8_t> bytes = Bytes(400, 4, 256);
    const std::vector<uint8_t> original = bytes;
    predictor::ApplyHorizontalDifferencing(bytes, layout);
    EXPECT_NE(bytes, original);
    predictor::UndoHorizontalDifferencing(bytes, layout);
    EXPECT_EQ(bytes, original);
  }
}

// Restoring old archives depends on these bytes.
TEST(TiffCodecs, EncoderOutputIsPinned) {
  const std::vector<uint8_t> bytes = Bytes(20000, 11, 40);
  EXPECT_EQ(Sum(lzw::Encode(bytes, std::vector<uint64_t>{0, 9000})), "58be9c9df02e0a5f");
  EXPECT_EQ(Sum(packbits::Encode(Bytes(20000, 11, 2), 100)), "1c8342d090da087c");
}

}  // namespace
}  // namespace tarn::codecs

namespace tarn::test {
namespace {

// Files the first writer of container version 5 made restore to their sources, whatever
// the codecs have become since.
TEST(ContainerVersion5, StoredFilesRestore) {
  const std::filesystem::path vectors = TARN_VECTORS_DIR;
  for (const char* name : {"v5-lzw.tif", "v5-lossless-jpeg.dng"}) {
    SCOPED_TRACE(name);
    TempDir folder;
    const auto restored = folder / name;
    const auto compressed = vectors / (std::string(name) + ".nivra");
    ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
    EXPECT_TRUE(ReadFile(restored) == ReadFile(vectors / name));
  }
}

}  // namespace
}  // namespace tarn::test
