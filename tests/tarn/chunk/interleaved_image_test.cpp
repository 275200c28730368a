#include "tarn/file/metadata/chunk/interleaved_image.hpp"

#include <sstream>

#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "log_recorder.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/image.hpp"

namespace tarn {
namespace {

using chunk::InterleavedImage;
using chunk::image::Calibration;
using test::Decode;
using test::Encode;

// Rows of `channels` camera-like planes interleaved pixel by pixel, each row
// followed by `padding` zero bytes.
std::string InterleavedRows(uint32_t width, uint32_t height, uint16_t channels, uint16_t bytes_per_pixel,
                            uint32_t padding, std::endian order) {
  const auto pixels = test::CameraPixels(size_t{width} * height * channels, size_t{width} * channels);
  std::string rows;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t i = 0; i < width * channels; ++i) {
      const uint16_t value = pixels[y * width * channels + i];
      if (bytes_per_pixel == 1) {
        rows += static_cast<char>(value >> 4);
      } else {
        rows += test::PixelBytes({value}, order);
      }
    }
    rows.append(padding, '\0');
  }
  return rows;
}

Calibration CameraCalibration() {
  Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 64;
  calibration.sigma = 2;
  calibration.white_level = 4095;
  calibration.seed = 5;
  return calibration;
}

TEST(InterleavedImageTest, ConstructionChecksInOrder) {
  const auto refusal = [](uint32_t width, uint32_t height, uint32_t width_bytes, uint16_t channels,
                          uint16_t bytes_per_pixel) -> std::string {
    try {
      InterleavedImage(Codec::Zstd, 10, width, height, width_bytes, channels, bytes_per_pixel, std::endian::little, {});
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  };
  EXPECT_EQ(refusal(0, 1, 0, 0, 0), "Image dimensions must be greater than zero");
  EXPECT_EQ(refusal(1, 1, 0, 0, 0), "Width in bytes must be greater than zero");
  EXPECT_EQ(refusal(1, 1, 2, 0, 0), "Bytes per pixel must be greater than zero");
  EXPECT_EQ(refusal(1, 1, 2, 0, 2), "Number of channels must be greater than zero");
  EXPECT_EQ(refusal(10, 1, 50, 3, 2), "Width in bytes is too small for the image dimensions");
  // The product must not wrap into an acceptable value.
  EXPECT_EQ(refusal(0x80000000U, 1, 8, 2, 1), "Width in bytes is too small for the image dimensions");
  EXPECT_EQ(refusal(10, 1, 60, 3, 2), "");
  EXPECT_THROW(InterleavedImage(Codec::None, 59, 10, 1, 60, 3, 2, std::endian::little, {}), std::runtime_error);
  EXPECT_THROW(InterleavedImage(65536, 32768, 262144, 1, 1, std::endian::little, {}), std::invalid_argument);
}

TEST(InterleavedImageTest, JsonRoundTripAndDispatch) {
  const InterleavedImage image(Codec::Nivra, 99, 5, 4, 32, 3, 2, std::endian::big, {});
  const Json::Value json = image.ToJson();
  EXPECT_EQ(json["width_bytes"].asUInt(), 32U);
  EXPECT_EQ(json["channels"].asInt(), 3);
  EXPECT_EQ(json["endianness"].asString(), "b");
  const auto read = Chunk::FromJson(json, 4);
  EXPECT_NE(dynamic_cast<const InterleavedImage*>(read.get()), nullptr);
  EXPECT_EQ(*read, image);

  // "decoded_length" does not make it unspecified data.
  Json::Value with_decoded = json;
  with_decoded["decoded_length"] = 160;
  EXPECT_EQ(*Chunk::FromJson(with_decoded, 4), image);

  Json::Value no_channels = json;
  no_channels.removeMember("channels");
  EXPECT_NE(dynamic_cast<const chunk::Image*>(Chunk::FromJson(no_channels, 4).get()), nullptr);

  Json::Value missing = json;
  missing.removeMember("bytes_per_pixel");
  try {
    InterleavedImage::FromJson(missing, 4);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "JSON does not correspond to an InterleavedImage");
  }
  Json::Value no_width_bytes = json;
  no_width_bytes.removeMember("width_bytes");
  EXPECT_THROW(InterleavedImage::FromJson(no_width_bytes, 4), std::runtime_error);
  Json::Value old = json;
  old.removeMember("endianness");
  EXPECT_EQ(InterleavedImage::FromJson(old, 1)->endianness, std::endian::little);
  EXPECT_THROW(InterleavedImage::FromJson(old, 3), std::invalid_argument);
}

TEST(InterleavedImageTest, RearrangesIntoPaddedPlanesAndBack) {
  // 3 channels of width 5, 16-bit: planes have rows of 10 bytes padded to 12.
  const InterleavedImage image(5, 2, 32, 3, 2, std::endian::little, {});
  std::string rows(64, '\0');
  for (int y = 0; y < 2; ++y) {
    for (int i = 0; i < 30; ++i) rows[y * 32 + i] = static_cast<char>(1 + y * 30 + i);
  }
  std::istringstream in(rows);
  std::ostringstream planes;
  image.RearrangeChannelsToStream(in, planes);
  const std::string arranged = planes.str();
  ASSERT_EQ(arranged.size(), 3U * 2 * 12);
  // Channel 1, row 0: pixels at byte 2, 8, 14, 20, 26 of the row, then two zero bytes.
  EXPECT_EQ(arranged.substr(24, 12), std::string("\x03\x04\x09\x0a\x0f\x10\x15\x16\x1b\x1c\0\0", 12));

  std::istringstream back(arranged);
  std::ostringstream reset;
  image.ResetChannelsToStream(back, reset);
  EXPECT_EQ(reset.str(), rows);

  // Older files hold unpadded planes.
  std::string unpadded;
  for (size_t row = 0; row < 6; ++row) unpadded += arranged.substr(row * 12, 10);
  std::istringstream old(unpadded);
  std::ostringstream reset_old;
  image.ResetChannelsToStream(old, reset_old);
  EXPECT_EQ(reset_old.str(), rows);

  std::istringstream too_short(unpadded.substr(1));
  std::ostringstream ignored;
  EXPECT_THROW(image.ResetChannelsToStream(too_short, ignored), std::runtime_error);
}

struct Layout {
  uint32_t width;
  uint16_t channels;
  uint16_t bytes_per_pixel;
  uint32_t padding;
  std::endian order;
  Codec expected;
};

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  return out << layout.channels << " channels of " << layout.width << " x " << layout.bytes_per_pixel
             << " bytes, padding " << layout.padding << (layout.order == std::endian::big ? ", big" : ", little");
}

TEST(InterleavedImageTest, RoundTripsAreByteIdentical) {
  const Layout layouts[] = {
      {96, 1, 2, 0, std::endian::little, Codec::Nivra},  {96, 1, 2, 0, std::endian::big, Codec::Nivra},
      {96, 2, 2, 0, std::endian::little, Codec::Nivra},  {96, 3, 2, 0, std::endian::big, Codec::Nivra},
      {96, 4, 2, 0, std::endian::little, Codec::Nivra},  {95, 1, 2, 2, std::endian::little, Codec::Nivra},
      // Planes padded to 4 bytes fit the chunk only when its rows are padded alike.
      {95, 3, 2, 2, std::endian::big, Codec::Zstd},     {97, 2, 2, 4, std::endian::little, Codec::Nivra},
      // Planes that do not fill the rows, 8-bit pixels, odd row sizes: zstd.
      {96, 2, 2, 4, std::endian::little, Codec::Zstd},  {96, 3, 1, 0, std::endian::little, Codec::Zstd},
      {96, 1, 1, 3, std::endian::little, Codec::Zstd},  {95, 1, 2, 1, std::endian::little, Codec::Zstd},
  };
  const uint32_t height = 40;
  for (const Layout& layout : layouts) {
    const uint32_t width_bytes = layout.width * layout.channels * layout.bytes_per_pixel + layout.padding;
    const std::string rows =
        InterleavedRows(layout.width, height, layout.channels, layout.bytes_per_pixel, layout.padding, layout.order);
    const InterleavedImage image(layout.width, height, width_bytes, layout.channels, layout.bytes_per_pixel,
                                 layout.order, {});
    const auto encoded = Encode(image, rows);
    EXPECT_EQ(encoded.chunk->codec, layout.expected) << layout;
    EXPECT_TRUE(Decode(*encoded.chunk, encoded.bytes).bytes == rows) << layout;
  }
}

TEST(InterleavedImageTest, NonZeroRowPaddingSurvivesTheRoundTrip) {
  // Planes of 2 x 4 bytes fill rows of 8 bytes, but bytes 4..7 are not pixels.
  std::string rows = InterleavedRows(1, 64, 2, 2, 4, std::endian::little);
  for (size_t y = 0; y < 64; ++y) rows[y * 8 + 5] = 'P';
  const InterleavedImage image(1, 64, 8, 2, 2, std::endian::little, {});
  const auto encoded = Encode(image, rows);
  EXPECT_NE(encoded.chunk->codec, Codec::Nivra);
  EXPECT_TRUE(Decode(*encoded.chunk, encoded.bytes).bytes == rows);
}

TEST(InterleavedImageTest, PreparationOfSeveralChannelsIsStableAndKeepsPadding) {
  std::string rows = InterleavedRows(63, 32, 3, 2, 6, std::endian::big);
  for (size_t y = 0; y < 32; ++y) rows[y * (63 * 6 + 6) + 63 * 6 + 1] = 'P';
  const InterleavedImage image(63, 32, 63 * 6 + 6, 3, 2, std::endian::big, CameraCalibration());
  const auto once = test::Run(image, rows, test::Operation::kPrepare);
  EXPECT_EQ(*once.chunk, image);
  EXPECT_NE(once.bytes, rows);
  for (size_t y = 0; y < 32; ++y) EXPECT_EQ(once.bytes[y * (63 * 6 + 6) + 63 * 6 + 1], 'P');
  EXPECT_TRUE(test::Run(image, once.bytes, test::Operation::kPrepare).bytes == once.bytes);
}

TEST(InterleavedImageTest, PrepareAndEncodeDecodesToThePreparedImage) {
  for (uint16_t channels : {1, 3}) {
    const std::string rows = InterleavedRows(64, 32, channels, 2, 0, std::endian::little);
    const InterleavedImage image(64, 32, 64 * 2 * channels, channels, 2, std::endian::little, CameraCalibration());
    const auto prepared = test::Run(image, rows, test::Operation::kPrepare);
    const auto encoded = test::Run(image, rows, test::Operation::kPrepareAndEncode);
    EXPECT_EQ(encoded.chunk->codec, Codec::Nivra) << channels;
    EXPECT_TRUE(Decode(*encoded.chunk, encoded.bytes).bytes == prepared.bytes) << channels;
  }
}

TEST(InterleavedImageTest, CodedChunksAreCopiedWithWarnings) {
  test::LogRecorder log;
  const InterleavedImage coded(Codec::Zstd, 4, 2, 2, 8, 2, 2, std::endian::little, {});
  EXPECT_EQ(Encode(coded, "wxyz").bytes, "wxyz");
  EXPECT_TRUE(log.Contains("Attempted to encode InterleavedImage already encoded with Zstd"));
  test::Run(coded, "wxyz", test::Operation::kPrepare);
  EXPECT_TRUE(log.Contains("Attempted to prepare InterleavedImage already encoded with Zstd"));
  Decode(InterleavedImage(Codec::Unknown, 4, 2, 2, 8, 2, 2, std::endian::little, {}), "wxyz");
  EXPECT_TRUE(log.Contains("Attempted to decode InterleavedImage with a codec that has no designated decoder: Unknown"));
}

}  // namespace
}  // namespace tarn
