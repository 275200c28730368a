// Lossless JPEG: exact round trips over the process-14 options, table shapes and the
// SSSS = 16 case, damaged and foreign streams refused, and the encoder's bytes pinned.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tarn/codecs/lossless_jpeg.hpp"
#include "tarn/util/checksum.hpp"

namespace tarn::codecs::ljpeg {
namespace {

Header MakeHeader(uint8_t precision, uint16_t width, uint16_t height, size_t components, uint8_t predictor,
                  uint8_t point_transform, uint16_t restart_interval) {
  Header header;
  header.precision = precision;
  header.width = width;
  header.height = height;
  for (size_t c = 0; c < components; ++c) header.components.push_back({static_cast<uint8_t>(c + 1), 0});
  header.predictor = predictor;
  header.point_transform = point_transform;
  header.restart_interval = restart_interval;
  return header;
}

// A ramp with noise per component, within the precision and the point transform.
std::vector<uint16_t> Samples(const Header& header, uint32_t seed) {
  std::mt19937 random(seed);
  const size_t components = header.components.size();
  std::vector<uint16_t> samples(size_t{header.width} * header.height * components);
  const int64_t top = (int64_t{1} << header.precision) - 1;
  for (size_t y = 0; y < header.height; ++y) {
    for (size_t x = 0; x < header.width; ++x) {
      for (size_t c = 0; c < components; ++c) {
        const double ramp = (x * 7.0 + y * 3.0 + c * 50.0) / (header.width * 7.0 + header.height * 3.0 + 200.0);
        const int64_t noise = static_cast<int64_t>(random() % 64) - 32;
        const int64_t value = std::clamp<int64_t>(static_cast<int64_t>(ramp * top) + noise, 0, top);
        samples[(y * header.width + x) * components + c] =
            static_cast<uint16_t>((value >> header.point_transform) << header.point_transform);
      }
    }
  }
  return samples;
}

enum class Tables { kOptimal, kEveryCategory, kLongCodes, kOnePerComponent };

void FillTables(Header& header, Tables shape, std::span<const uint16_t> samples) {
  const std::array<uint64_t, 17> counts = CategoryCounts(header, samples);
  std::array<uint64_t, 17> every;
  every.fill(1);
  std::array<uint64_t, 17> skewed{};
  for (size_t k = 0; k < 17; ++k) skewed[k] = (uint64_t{1} << (3 * (16 - std::min<size_t>(k, 16)))) + 1;
  switch (shape) {
    case Tables::kOptimal: header.tables[0] = OptimalTable(counts); break;
    case Tables::kEveryCategory: header.tables[0] = OptimalTable(every); break;
    case Tables::kLongCodes: header.tables[0] = OptimalTable(skewed); break;
    case Tables::kOnePerComponent:
      header.tables = {OptimalTable(counts), OptimalTable(every), OptimalTable(skewed), OptimalTable(every)};
      for (size_t c = 0; c < header.components.size(); ++c) header.components[c].table = static_cast<uint8_t>(c);
      break;
  }
}

struct RoundTripCase {
  const char* name;
  uint8_t precision;
  uint16_t width;
  uint16_t height;
  size_t components;
  uint8_t predictor;
  uint8_t point_transform;
  uint16_t restart_interval;
  Tables tables;
};

class LosslessJpegRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(LosslessJpegRoundTrip, DecodesToTheSamplesAndEncodesToTheSameBytes) {
  const RoundTripCase& c = GetParam();
  Header header = MakeHeader(c.precision, c.width, c.height, c.components, c.predictor, c.point_transform,
                             c.restart_interval);
  const std::vector<uint16_t> samples = Samples(header, c.width * 31u + c.predictor);
  FillTables(header, c.tables, samples);
  const std::vector<uint8_t> header_bytes = WriteHeader(header);
  const std::vector<uint8_t> stream = Encode(header_bytes, samples);

  const Decoded decoded = Decode(stream);
  EXPECT_EQ(decoded.samples, samples);
  EXPECT_EQ(decoded.end, stream.size());
  EXPECT_EQ(decoded.header.size, header_bytes.size());
  EXPECT_EQ(decoded.header.predictor, c.predictor);
  EXPECT_EQ(decoded.header.point_transform, c.point_transform);
  EXPECT_EQ(Encode(std::span(stream).first(decoded.header.size), decoded.samples, decoded.pad_ones), stream);
}

INSTANTIATE_TEST_SUITE_P(
    Options, LosslessJpegRoundTrip,
    testing::Values(RoundTripCase{"Bayer12BitTwoComponents", 12, 64, 40, 2, 1, 0, 0, Tables::kOptimal},
                    RoundTripCase{"Predictor2", 14, 33, 17, 1, 2, 0, 0, Tables::kEveryCategory},
                    RoundTripCase{"Predictor3", 16, 20, 9, 1, 3, 0, 0, Tables::kLongCodes},
                    RoundTripCase{"Predictor4", 10, 31, 12, 3, 4, 0, 0, Tables::kOnePerComponent},
                    RoundTripCase{"Predictor5", 16, 17, 11, 4, 5, 0, 0, Tables::kOnePerComponent},
                    RoundTripCase{"Predictor6", 8, 25, 14, 1, 6, 0, 0, Tables::kOptimal},
                    RoundTripCase{"Predictor7", 12, 16, 16, 2, 7, 0, 0, Tables::kLongCodes},
                    RoundTripCase{"PointTransform", 16, 30, 10, 1, 6, 3, 0, Tables::kOptimal},
                    RoundTripCase{"RestartEveryTwoLines", 12, 24, 21, 2, 1, 0, 48, Tables::kOptimal},
                    RoundTripCase{"RestartEveryLine", 16, 9, 19, 1, 4, 1, 9, Tables::kEveryCategory},
                    RoundTripCase{"OneSample", 2, 1, 1, 1, 1, 0, 0, Tables::kEveryCategory}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// A difference of 32768 has no extra bits.
TEST(LosslessJpeg, CodesTheLargestDifference) {
  Header header = MakeHeader(16, 4, 2, 1, 1, 0, 0);
  const std::vector<uint16_t> samples{0x8000, 0, 0x8000, 0xFFFF, 0, 0x7FFF, 0xFFFF, 0x8000};
  FillTables(header, Tables::kEveryCategory, samples);
  const std::array<uint64_t, 17> counts = CategoryCounts(header, samples);
  EXPECT_GT(counts[16], 0u);
  const std::vector<uint8_t> stream = Encode(WriteHeader(header), samples);
  EXPECT_EQ(Decode(stream).samples, samples);
}

// The encoder's output is part of the file format: restoring old archives depends on it.
TEST(LosslessJpeg, EncoderOutputIsPinned) {
  Header header = MakeHeader(12, 24, 21, 2, 6, 1, 48);
  const std::vector<uint16_t> samples = Samples(header, 7);
  FillTables(header, Tables::kOnePerComponent, samples);
  const std::vector<uint8_t> stream = Encode(WriteHeader(header), samples);
  EXPECT_EQ(util::ChecksumText(util::Xxh3(std::as_bytes(std::span(stream)))), "e4768ca4cb0d4b60");
  EXPECT_EQ(stream.size(), 1208u);
}

TEST(LosslessJpeg, RefusesWhatItCannotTake) {
  Header header = MakeHeader(12, 8, 8, 1, 1, 0, 0);
  const std::vector<uint16_t> samples = Samples(header, 3);
  FillTables(header, Tables::kOptimal, samples);
  const std::vector<uint8_t> stream = Encode(WriteHeader(header), samples);

  // A DCT frame (SOF1) in place of SOF3.
  std::vector<uint8_t> dct = stream;
  static constexpr uint8_t kSof3[] = {0xFF, 0xC3};
  const auto sof = std::search(dct.begin(), dct.end(), std::begin(kSof3), std::end(kSof3));
  ASSERT_NE(sof, dct.end());
  sof[1] = 0xC1;
  EXPECT_THROW(
      {
        try {
          Decode(dct);
        } catch (const FormatError& error) {
          EXPECT_NE(std::string(error.what()).find("SOF1"), std::string::npos) << error.what();
          throw;
        }
      },
      FormatError);

  // Cut short, and with its EOI gone.
  EXPECT_THROW(Decode(std::span(stream).first(stream.size() / 2)), FormatError);
  EXPECT_THROW(Decode(std::span(stream).first(stream.size() - 2)), FormatError);

  // A table without a code for a category the pixels need.
  Header sparse = header;
  std::array<uint64_t, 17> zero_only{};
  zero_only[0] = 1;
  sparse.tables[0] = OptimalTable(zero_only);
  EXPECT_THROW(Encode(WriteHeader(sparse), samples), FormatError);

  // A restart interval that is not whole lines.
  Header ragged = header;
  ragged.restart_interval = 5;
  EXPECT_THROW(ParseHeader(WriteHeader(ragged)), FormatError);
}

}  // namespace
}  // namespace tarn::codecs::ljpeg
