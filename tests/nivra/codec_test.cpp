// nivra_encode / nivra_decode: exact round trips, prepared images, capacity and
// malformed input.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "nivra/nivra.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;

namespace {

constexpr uint8_t kGuard = 0xA5;

struct Encoded {
  bm_status status;
  std::vector<uint8_t> bytes;
};

// Encodes into a buffer of the given capacity followed by guard bytes that must stay untouched.
Encoded Encode(const std::vector<uint16_t>& pixels, int32_t width, int32_t height, int64_t capacity = -1) {
  if (capacity < 0) capacity = int64_t{width} * height * 3 + 4096;
  std::vector<uint8_t> buffer(capacity + 64, kGuard);
  int32_t length = static_cast<int32_t>(capacity);
  bm_status status = nivra_encode(pixels.data(), width, height, buffer.data(), &length);
  for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << "wrote past capacity";
  if (status != BM_OK) return {status, {}};
  EXPECT_LE(length, capacity);
  buffer.resize(length);
  return {status, buffer};
}

std::vector<uint16_t> Decode(const std::vector<uint8_t>& bytes, std::size_t count, bm_status expected = BM_OK) {
  std::vector<uint16_t> pixels(count + 8, 0x5A5A);
  EXPECT_EQ(nivra_decode(bytes.data(), static_cast<int32_t>(bytes.size()), pixels.data(), static_cast<int32_t>(count)),
            expected);
  for (std::size_t i = count; i < pixels.size(); ++i) EXPECT_EQ(pixels[i], 0x5A5A) << "wrote past the pixels";
  pixels.resize(count);
  return pixels;
}

void ExpectRoundTrip(const std::vector<uint16_t>& pixels, int32_t width, int32_t height, const char* what) {
  Encoded e = Encode(pixels, width, height);
  ASSERT_EQ(e.status, BM_OK) << what;
  EXPECT_EQ(Decode(e.bytes, pixels.size()), pixels) << what;
}

std::shared_ptr<Nivra::ExtendedAnscombeParameters> Model(const nivra_test::SensorModel& m) {
  return std::make_shared<Nivra::ExtendedAnscombeParameters>(m.gain, m.black_level, m.sigma, m.white_level);
}

// What the container's prepare does: keep the header pixels, replace the noise, embed.
std::vector<uint16_t> Prepare(std::vector<uint16_t> pixels, const Nivra::EmbeddedHeader& header) {
  std::vector<uint16_t> kept(pixels.begin(), pixels.begin() + header.PixelCount());
  Nivra::replace_noise(pixels.data(), pixels.size(), *header.parameters(), header.error_bound(), header.seed());
  std::copy(kept.begin(), kept.end(), pixels.begin());
  header.Embed(pixels);
  return pixels;
}

}  // namespace

TEST(Lossless, ShapesAndExtremeValues) {
  std::mt19937 random(5);
  for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {1, 7}, {7, 1}, {2, 2}, {3, 3}, {1, 300}, {300, 1},
                                                      {17, 13}, {64, 64}, {101, 33}}) {
    std::vector<uint16_t> pixels(std::size_t(w) * h);
    ExpectRoundTrip(pixels, w, h, "zeros");
    std::fill(pixels.begin(), pixels.end(), 65535);
    ExpectRoundTrip(pixels, w, h, "65535");
    for (auto& p : pixels) p = static_cast<uint16_t>(random());
    ExpectRoundTrip(pixels, w, h, "random");
    for (auto& p : pixels) p = (random() & 1) ? 0 : 65535;  // largest jumps
    ExpectRoundTrip(pixels, w, h, "0/65535");
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(i * 977);
    ExpectRoundTrip(pixels, w, h, "ramp");
  }
}

TEST(Lossless, SensorImagesCompress) {
  nivra_test::SensorModel model;
  const uint32_t w = 320, h = 240;
  for (auto [name, image] : std::vector<std::pair<const char*, std::vector<uint16_t>>>{
           {"flat", nivra_test::SensorImage(w, h, model, nivra_test::Flat)},
           {"gradient", nivra_test::SensorImage(w, h, model, nivra_test::Gradient(w))},
           {"spots", nivra_test::SensorImage(w, h, model, nivra_test::Spots)},
           {"cells", nivra_test::SensorImage(w, h, model, nivra_test::Cells)},
           {"bayer", nivra_test::SensorImage(w, h, model, nivra_test::Bayer(w))}}) {
    Encoded e = Encode(image, w, h, w * h * 2);
    ASSERT_EQ(e.status, BM_OK) << name;
    EXPECT_EQ(Decode(e.bytes, image.size()), image) << name;
  }
}

TEST(Lossless, MosaicIsFoundWithoutHeader) {
  nivra_test::SensorModel model;
  model.sigma = 1.0f;
  model.gain = 0.5f;
  const uint32_t w = 256, h = 256;
  auto mosaic = nivra_test::SensorImage(w, h, model, nivra_test::Bayer(w));
  Encoded e = Encode(mosaic, w, h);
  ASSERT_EQ(e.status, BM_OK);
  EXPECT_EQ(e.bytes[4] & 3, 2) << "same-colour neighbours expected";
  EXPECT_EQ(Decode(e.bytes, mosaic.size()), mosaic);
}

TEST(Lossless, SparseValuesAreCodedAsRanks) {
  // 10-bit data shifted up by 6 bits, and 10-bit data scaled by 28.6: the
  // gaps between the values must not cost bits.
  nivra_test::SensorModel model;
  model.gain = 0.25f;
  model.sigma = 1.0f;
  const uint32_t w = 200, h = 160;
  auto base = nivra_test::SensorImage(w, h, model, nivra_test::Cells);
  for (int scaling = 0; scaling < 2; ++scaling) {
    std::vector<uint16_t> sparse(base.size());
    for (std::size_t i = 0; i < base.size(); ++i) {
      uint32_t v = base[i] & 1023;
      sparse[i] = static_cast<uint16_t>(scaling == 0 ? v << 6 : 1030 + v * 286 / 10);
    }
    Encoded plain = Encode(base, w, h), ranked = Encode(sparse, w, h);
    ASSERT_EQ(ranked.status, BM_OK);
    EXPECT_NE(ranked.bytes[4] & 0x20, 0) << "value map expected";
    EXPECT_LT(ranked.bytes.size(), plain.bytes.size() * 11 / 10) << scaling;
    EXPECT_EQ(Decode(ranked.bytes, sparse.size()), sparse);
  }
}

TEST(Capacity, IncompressibleGives17WithoutOverrun) {
  std::mt19937 random(9);
  std::vector<uint16_t> noise(128 * 96);
  for (auto& p : noise) p = static_cast<uint16_t>(random());
  for (int64_t capacity : {0, 1, 10, 128 * 96, 128 * 96 * 2}) {
    EXPECT_EQ(Encode(noise, 128, 96, capacity).status, BM_INCOMPATIBLE_IMAGE) << capacity;
  }
  // An exact fit succeeds, one byte less does not.
  std::vector<uint16_t> ramp(64 * 64);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint16_t>(i);
  Encoded e = Encode(ramp, 64, 64);
  ASSERT_EQ(e.status, BM_OK);
  int64_t size = e.bytes.size();
  EXPECT_EQ(Encode(ramp, 64, 64, size).status, BM_OK);
  EXPECT_EQ(Encode(ramp, 64, 64, size - 1).status, BM_INCOMPATIBLE_IMAGE);
}

TEST(Capacity, BadArguments) {
  std::vector<uint16_t> pixels(16);
  std::vector<uint8_t> out(100);
  int32_t length = 100;
  EXPECT_EQ(nivra_encode(pixels.data(), 0, 4, out.data(), &length), BM_PARAMETER_OUT_OF_RANGE);
  EXPECT_EQ(nivra_encode(pixels.data(), 4, -1, out.data(), &length), BM_PARAMETER_OUT_OF_RANGE);
  EXPECT_EQ(nivra_encode(nullptr, 4, 4, out.data(), &length), BM_PARAMETER_OUT_OF_RANGE);
  EXPECT_EQ(nivra_encode(pixels.data(), 65536, 65536, out.data(), &length), BM_PARAMETER_OUT_OF_RANGE);
}

class Prepared : public ::testing::TestWithParam<float> {};

TEST_P(Prepared, PreparedImageDecodesIdentically) {
  nivra_test::SensorModel model;
  const uint32_t w = 200, h = 150;
  Nivra::MonochromeHeader header(77, GetParam(), Model(model));
  for (auto scene : {std::function<double(uint32_t, uint32_t)>(nivra_test::Flat), nivra_test::Gradient(w),
                     std::function<double(uint32_t, uint32_t)>(nivra_test::Spots)}) {
    auto prepared = Prepare(nivra_test::SensorImage(w, h, model, scene), header);
    Encoded e = Encode(prepared, w, h, w * h);
    ASSERT_EQ(e.status, BM_OK);
    EXPECT_EQ(Decode(e.bytes, prepared.size()), prepared);
  }
}

TEST_P(Prepared, PrepareAndEncodeDecodesToPrepare) {
  nivra_test::SensorModel model;
  model.white_level = 30000;
  const uint32_t w = 160, h = 120;
  auto original = nivra_test::SensorImage(w, h, model, nivra_test::Spots);
  original[500] = 65535;  // above the white level: kept as is
  Nivra::ColorHeader header(1234567, GetParam(), Nivra::ColorFilterArray::kBayerRG, Model(model));
  auto with_header = original;
  header.Embed(with_header);
  Encoded e = Encode(with_header, w, h, w * h);
  ASSERT_EQ(e.status, BM_OK);
  auto decoded = Decode(e.bytes, original.size());
  EXPECT_EQ(decoded, Prepare(original, header));
  EXPECT_EQ(decoded[500], 65535);
  // And coding the prepared result again changes nothing.
  Encoded again = Encode(decoded, w, h, w * h);
  ASSERT_EQ(again.status, BM_OK);
  EXPECT_EQ(Decode(again.bytes, decoded.size()), decoded);
}

TEST_P(Prepared, EditedValuesOffTheLatticeAreKept) {
  nivra_test::SensorModel model;
  const uint32_t w = 128, h = 128;
  Nivra::MonochromeHeader header(5, GetParam(), Model(model));
  auto image = Prepare(nivra_test::SensorImage(w, h, model, nivra_test::Flat), header);
  for (std::size_t i = 1000; i < 1100; ++i) image[i] = static_cast<uint16_t>(image[i] + 1);  // a user's edit
  image[5000] = 0;
  image.back() = 65535;
  Encoded e = Encode(image, w, h, w * h);
  ASSERT_EQ(e.status, BM_OK);
  EXPECT_EQ(Decode(e.bytes, image.size()), image);
}

INSTANTIATE_TEST_SUITE_P(Steps, Prepared, ::testing::Values(0.5f, 1.0f, 2.0f));

TEST(Prepared, TinyImagesAndOddShapes) {
  nivra_test::SensorModel model;
  Nivra::MonochromeHeader header(5, 1.0f, Model(model));
  for (auto [w, h] : std::vector<std::pair<int, int>>{{24, 1}, {1, 24}, {5, 5}, {25, 1}, {3, 11}, {33, 7}}) {
    auto image = Prepare(nivra_test::SensorImage(w, h, model, nivra_test::Flat), header);
    ExpectRoundTrip(image, w, h, "prepared");
  }
}

TEST(Decoder, MalformedInputGives7) {
  nivra_test::SensorModel model;
  const uint32_t w = 64, h = 48;
  auto lossless = nivra_test::SensorImage(w, h, model, nivra_test::Cells);
  Nivra::MonochromeHeader header(5, 1.0f, Model(model));
  auto prepared = Prepare(lossless, header);
  for (const auto& image : {lossless, prepared}) {
    Encoded e = Encode(image, w, h);
    ASSERT_EQ(e.status, BM_OK);
    // Every truncation fails cleanly.
    for (std::size_t n = 1; n < e.bytes.size(); n += (n < 64 ? 1 : 7)) {
      std::vector<uint8_t> cut(e.bytes.begin(), e.bytes.begin() + n);
      Decode(cut, image.size(), BM_INVALID_FILE_CONTENT);
    }
    // Wrong pixel count.
    Decode(e.bytes, image.size() - 1, BM_INVALID_FILE_CONTENT);
    Decode(e.bytes, image.size() + 1, BM_INVALID_FILE_CONTENT);
    // Flipped bits: any status, but never a crash or a write out of bounds (checked under ASan).
    std::mt19937 random(3);
    for (int trial = 0; trial < 300; ++trial) {
      auto damaged = e.bytes;
      damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
      std::vector<uint16_t> out(image.size());
      nivra_decode(damaged.data(), static_cast<int32_t>(damaged.size()), out.data(), static_cast<int32_t>(out.size()));
    }
  }
  std::vector<uint16_t> out(4);
  const uint8_t garbage[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(nivra_decode(garbage, sizeof garbage, out.data(), 4), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(nivra_decode(garbage, 0, out.data(), 4), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(nivra_decode(nullptr, 8, out.data(), 4), BM_INVALID_FILE_CONTENT);
}

TEST(Threads, ConcurrentCallsOnDifferentBuffersAgree) {
  // Different headers on different threads also exercise the lattice cache.
  nivra_test::SensorModel model;
  const uint32_t w = 96, h = 64;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        float step = 0.5f + 0.25f * static_cast<float>((t + round) % 6);
        Nivra::MonochromeHeader header(static_cast<uint64_t>(t * 100 + round), step, Model(model));
        auto raw = nivra_test::SensorImage(w, h, model, nivra_test::Cells, static_cast<uint64_t>(t));
        auto expected = Prepare(raw, header);
        header.Embed(raw);
        std::vector<uint8_t> coded(w * h * 3);
        int32_t length = static_cast<int32_t>(coded.size());
        std::vector<uint16_t> decoded(raw.size());
        if (nivra_encode(raw.data(), w, h, coded.data(), &length) != BM_OK ||
            nivra_decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size())) != BM_OK ||
            decoded != expected) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}
