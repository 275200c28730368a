// Exact round trips of the real 16-bit sample images, losslessly and prepared.
#include <gtest/gtest.h>

#include "nivra/nivra.hpp"
#include "tiff_planes.hpp"

namespace Nivra = Brimlake::Nivra;

namespace {

std::vector<nivra_test::Image> Fixtures() {
  std::filesystem::path folder = TARN_FIXTURES_DIR;
  if (!std::filesystem::is_directory(folder)) return {};
  return nivra_test::ReadTiffPlanes(folder);
}

std::vector<uint16_t> RoundTrip(const std::vector<uint16_t>& pixels, const nivra_test::Image& image) {
  std::vector<uint8_t> coded(pixels.size() * 3 + 4096);
  int32_t length = static_cast<int32_t>(coded.size());
  EXPECT_EQ(nivra_encode(pixels.data(), image.width, image.height, coded.data(), &length), BM_OK) << image.name;
  std::vector<uint16_t> decoded(pixels.size());
  EXPECT_EQ(nivra_decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size())), BM_OK)
      << image.name;
  return decoded;
}

}  // namespace

TEST(RealImages, LosslessRoundTripIsExact) {
  auto images = Fixtures();
  if (images.empty()) GTEST_SKIP() << "sample files not found at " << TARN_FIXTURES_DIR;
  for (const auto& image : images) {
    EXPECT_EQ(RoundTrip(image.pixels, image), image.pixels) << image.name;
    // With the container's capacity (half the raw size) the answer is a fit or 17, never a partial write.
    std::vector<uint8_t> half(image.pixels.size());
    int32_t length = static_cast<int32_t>(half.size());
    bm_status status = nivra_encode(image.pixels.data(), image.width, image.height, half.data(), &length);
    EXPECT_TRUE(status == BM_OK || status == BM_INCOMPATIBLE_IMAGE) << image.name;
  }
}

TEST(RealImages, PreparedAndForgedHeadersRoundTripExactly) {
  auto images = Fixtures();
  if (images.empty()) GTEST_SKIP() << "sample files not found at " << TARN_FIXTURES_DIR;
  auto parameters = std::make_shared<Nivra::ExtendedAnscombeParameters>(1.5f, 100.0f, 4.0f, 65535u);
  Nivra::MonochromeHeader header(2024, 1.0f, parameters);
  for (const auto& image : images) {
    if (image.pixels.size() < header.PixelCount()) continue;
    auto prepared = image.pixels;
    Nivra::replace_noise(prepared.data(), prepared.size(), *parameters, 1.0f, 2024);
    header.Embed(prepared);
    EXPECT_EQ(RoundTrip(prepared, image), prepared) << image.name;
    // A header on unprepared pixels changes nothing either.
    auto with_header = image.pixels;
    header.Embed(with_header);
    EXPECT_EQ(RoundTrip(with_header, image), with_header) << image.name;
  }
}
