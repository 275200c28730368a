#include "tarn/file/metadata/chunk/codec/nivra.hpp"

#include <vector>

#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"

namespace tarn {
namespace {

namespace nivra = codec::nivra;
using chunk::Image;
using chunk::InterleavedImage;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(NivraCodecTest, SwapsEvenSizedSpansOnly) {
  std::vector<uint8_t> data{1, 2, 3, 4};
  nivra::SwapBytes16(data, data);
  EXPECT_EQ(data, (std::vector<uint8_t>{2, 1, 4, 3}));
  std::vector<uint8_t> odd(3), other(4);
  try {
    nivra::SwapBytes16(odd, odd);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "src and dst must be the same size and the size must be evenly divisible by 2");
  }
  EXPECT_THROW(nivra::SwapBytes16(data, std::span(other).first(2)), std::invalid_argument);
}

TEST(NivraCodecTest, SpanRoundTripInBothByteOrders) {
  for (std::endian order : {std::endian::little, std::endian::big}) {
    const auto source = Bytes(test::CameraBytes(100 * 60, 100, order));
    const Image image(100, 60, 2, order, {});
    std::vector<uint8_t> encoded(100 * 60);
    const auto [codec, size] = nivra::EncodeSpan(image, source, encoded);
    EXPECT_EQ(codec, Codec::Nivra);
    ASSERT_LE(size, encoded.size());
    std::vector<uint8_t> decoded(source.size());
    const auto decoded_result =
        nivra::DecodeSpan(Image(Codec::Nivra, size, 100, 60, 2, order, {}), std::span(encoded).first(size), decoded);
    EXPECT_EQ(decoded_result, CodecResult(Codec::None, source.size()));
    EXPECT_EQ(decoded, source);
  }
}

TEST(NivraCodecTest, RefusesWhatTheCodecCannotTakeWithStatus17) {
  std::vector<uint8_t> out(1000);
  const auto expect_refusal = [&](const auto& chunk, size_t bytes) {
    const std::vector<uint8_t> source(bytes, 7);
    try {
      nivra::EncodeSpan(chunk, source, out);
      FAIL() << "accepted";
    } catch (const EncodeError& error) {
      EXPECT_EQ(error.status(), kTarnStatusIncompatibleImage);
      EXPECT_STREQ(error.what(),
                   "Nivra encoder error: The image data is invalid or not compatible with nivra compression.");
    }
  };
  expect_refusal(Image(20, 20, 1, std::endian::little, {}), 400);
  expect_refusal(Image(10, 10, 4, std::endian::little, {}), 400);
  expect_refusal(InterleavedImage(3, 10, 7, 1, 2, std::endian::little, {}), 70);
}

TEST(NivraCodecTest, DecodingNeedsA16BitDestinationOfTheDecodedLength) {
  std::vector<uint8_t> source(10), destination(400);
  EXPECT_THROW(nivra::DecodeSpan(Image(Codec::Nivra, 10, 20, 20, 1, std::endian::little, {}), source, destination),
               DecodeError);
  EXPECT_THROW(nivra::DecodeSpan(Image(Codec::Nivra, 10, 10, 10, 2, std::endian::little, {}), source,
                                 std::span(destination).first(100)),
               DecodeError);
}

TEST(NivraCodecTest, PrepareSpanCopiesEightBitImagesAndRejectsOddSizes) {
  const Image eight_bit(4, 4, 1, std::endian::little, {});
  const std::vector<uint8_t> source(16, 9);
  std::vector<uint8_t> destination(16);
  EXPECT_EQ(nivra::PrepareSpan(eight_bit, source, destination, true), CodecResult(Codec::None, 16));
  EXPECT_EQ(destination, source);

  const InterleavedImage odd(3, 1, 7, 1, 2, std::endian::little, {});
  std::vector<uint8_t> odd_bytes(7);
  try {
    nivra::PrepareSpan(odd, odd_bytes, odd_bytes, true);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "source span can't be reinterpreted as a uint16_t span");
  }
}

TEST(NivraCodecTest, TooSmallImagesCannotCarryTheHeader) {
  chunk::image::Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 64;
  calibration.sigma = 2;
  calibration.white_level = 4095;
  const Image tiny(1, 1, 2, std::endian::little, calibration);
  std::vector<uint8_t> pixel{1, 0};
  try {
    nivra::PrepareSpan(tiny, pixel, pixel, true);
    FAIL();
  } catch (const PrepareError& error) {
    EXPECT_EQ(error.status(), kTarnStatusTooFewPixels);
  }
}

}  // namespace
}  // namespace tarn
