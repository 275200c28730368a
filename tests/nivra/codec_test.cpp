// nivra_encode / nivra_decode and their parallel forms: exact round trips,
// prepared and edited images, bands, capacity and malformed input.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "nivra/nivra.hpp"
#include "parallel_for.hpp"
#include "synthetic_images.hpp"

namespace Nivra = Brimlake::Nivra;

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr std::size_t kModeByte = 3;  // 1 lossless, 2 prepared

struct Encoded {
  bm_status status;
  std::vector<uint8_t> bytes;
};

// Encodes into a buffer of the given capacity followed by guard bytes that must
// stay untouched; through nivra_encode, or encode with parallel_for when given.
Encoded Encode(const std::vector<uint16_t>& pixels, int32_t width, int32_t height, int64_t capacity = -1,
               const Nivra::ParallelFor& parallel_for = {}) {
  if (capacity < 0) capacity = int64_t{width} * height * 3 + 4096;
  std::vector<uint8_t> buffer(capacity + 64, kGuard);
  int32_t length = static_cast<int32_t>(capacity);
  bm_status status = parallel_for ? Nivra::encode(pixels.data(), width, height, buffer.data(), &length, parallel_for)
                                  : nivra_encode(pixels.data(), width, height, buffer.data(), &length);
  for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << "wrote past capacity";
  if (status != BM_OK) return {status, {}};
  EXPECT_LE(length, capacity);
  buffer.resize(length);
  return {status, buffer};
}

std::vector<uint16_t> Decode(const std::vector<uint8_t>& bytes, std::size_t count, bm_status expected = BM_OK,
                             const Nivra::ParallelFor& parallel_for = {}) {
  std::vector<uint16_t> pixels(count + 8, 0x5A5A);
  const auto size = static_cast<int32_t>(bytes.size());
  const auto n = static_cast<int32_t>(count);
  EXPECT_EQ(parallel_for ? Nivra::decode(bytes.data(), size, pixels.data(), n, parallel_for)
                         : nivra_decode(bytes.data(), size, pixels.data(), n),
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

TEST_P(Prepared, PrepareThenEncodeDecodesToPrepare) {
  nivra_test::SensorModel model;
  model.white_level = 30000;
  const uint32_t w = 160, h = 120;
  auto original = nivra_test::SensorImage(w, h, model, nivra_test::Spots);
  original[500] = 65535;  // above the white level: kept as is
  Nivra::ColorHeader header(1234567, GetParam(), Nivra::ColorFilterArray::kBayerRG, Model(model));
  auto prepared = Prepare(original, header);
  Encoded e = Encode(prepared, w, h, w * h);
  ASSERT_EQ(e.status, BM_OK);
  EXPECT_EQ(e.bytes[kModeByte], 2) << "prepared mode expected";
  auto decoded = Decode(e.bytes, original.size());
  EXPECT_EQ(decoded, prepared);
  EXPECT_EQ(decoded[500], 65535);
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

// Compression never changes a value: a prepared image with edited pixels (the
// header kept), and raw data that carries a valid header, come back exactly.
class Edited : public ::testing::TestWithParam<int> {};

TEST_P(Edited, EditedPreparedImageRoundTripsExactly) {
  const int percent = GetParam();
  nivra_test::SensorModel model;
  const uint32_t w = 256, h = 192;
  for (float step : {0.5f, 2.0f}) {
    Nivra::MonochromeHeader header(31, step, Model(model));
    auto image = Prepare(nivra_test::SensorImage(w, h, model, nivra_test::Cells), header);
    std::mt19937 random(percent);
    for (std::size_t i = header.PixelCount(); i < image.size(); ++i) {
      if (static_cast<int>(random() % 100) >= percent) continue;
      int edit = static_cast<int>(random() % 41) - 20;  // a user's retouching, or a second exposure
      image[i] = static_cast<uint16_t>(std::clamp(int(image[i]) + (edit == 0 ? 1 : edit), 0, 65535));
    }
    Encoded e = Encode(image, w, h, w * h);
    ASSERT_EQ(e.status, BM_OK) << percent << "% at step " << step;
    EXPECT_EQ(Decode(e.bytes, image.size()), image) << percent << "% at step " << step;
    // A few edits stay escapes in prepared mode; an image edited all over is smaller lossless.
    if (percent <= 1) {
      EXPECT_EQ(e.bytes[kModeByte], 2);
    } else if (percent == 100) {
      EXPECT_EQ(e.bytes[kModeByte], 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shares, Edited, ::testing::Values(1, 5, 20, 100));

TEST(Prepared, RawDataWithAForgedHeaderRoundTripsExactly) {
  nivra_test::SensorModel model;
  model.white_level = 20000;
  const uint32_t w = 200, h = 120;
  auto raw = nivra_test::SensorImage(w, h, model, nivra_test::Gradient(w));
  raw[777] = 65535;
  std::mt19937 random(2);
  std::vector<uint16_t> noise(w * h);
  for (auto& p : noise) p = static_cast<uint16_t>(random());
  // Steps from far finer than the integers to coarser than the noise.
  for (float step : {0.05f, 1.0f, 4.0f}) {
    Nivra::ColorHeader color(8, step, Nivra::ColorFilterArray::kBayerGB, Model(model));
    Nivra::MonochromeHeader mono(9, step, Model(model));
    for (const Nivra::EmbeddedHeader* header : {static_cast<const Nivra::EmbeddedHeader*>(&color),
                                                static_cast<const Nivra::EmbeddedHeader*>(&mono)}) {
      for (auto image : {raw, noise}) {
        header->Embed(image);
        ExpectRoundTrip(image, w, h, "forged header");
      }
    }
  }
}

TEST(Decoder, DamageIsRefusedNeverDecodedWrong) {
  nivra_test::SensorModel model;
  auto small = nivra_test::SensorImage(64, 48, model, nivra_test::Cells);
  Nivra::MonochromeHeader header(5, 1.0f, Model(model));
  auto prepared = Prepare(small, header);
  // Several bands.
  auto large = nivra_test::SensorImage(512, 1200, model, nivra_test::Spots);
  auto large_prepared = Prepare(large, header);
  struct Case {
    const std::vector<uint16_t>& image;
    int32_t width, height;
  };
  for (const Case& c : {Case{small, 64, 48}, Case{prepared, 64, 48}, Case{large, 512, 1200},
                        Case{large_prepared, 512, 1200}}) {
    Encoded e = Encode(c.image, c.width, c.height);
    ASSERT_EQ(e.status, BM_OK);
    // Truncations fail cleanly: every one near the start, a spread of them further on.
    for (std::size_t n = 1; n < e.bytes.size(); n += (n < 64 ? 1 : 1 + e.bytes.size() / 97)) {
      std::vector<uint8_t> cut(e.bytes.begin(), e.bytes.begin() + n);
      Decode(cut, c.image.size(), BM_INVALID_FILE_CONTENT);
    }
    std::vector<uint8_t> longer = e.bytes;
    longer.push_back(0);
    Decode(longer, c.image.size(), BM_INVALID_FILE_CONTENT);
    // Wrong pixel count.
    Decode(e.bytes, c.image.size() - 1, BM_INVALID_FILE_CONTENT);
    Decode(e.bytes, c.image.size() + 1, BM_INVALID_FILE_CONTENT);
    // A flipped bit is refused, or (in padding) changes nothing; never wrong pixels
    // with success, nor a write out of bounds (checked under ASan).
    std::mt19937 random(3);
    const int trials = c.image.size() > 10000 ? 60 : 300;
    for (int trial = 0; trial < trials; ++trial) {
      auto damaged = e.bytes;
      damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
      std::vector<uint16_t> out(c.image.size());
      bm_status status = nivra_decode(damaged.data(), static_cast<int32_t>(damaged.size()), out.data(),
                                      static_cast<int32_t>(out.size()));
      EXPECT_TRUE(status == BM_INVALID_FILE_CONTENT || (status == BM_OK && out == c.image)) << status;
    }
  }
  std::vector<uint16_t> out(4);
  const uint8_t garbage[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(nivra_decode(garbage, sizeof garbage, out.data(), 4), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(nivra_decode(garbage, 0, out.data(), 4), BM_INVALID_FILE_CONTENT);
  EXPECT_EQ(nivra_decode(nullptr, 8, out.data(), 4), BM_INVALID_FILE_CONTENT);
}

// The check before storing: the stream, decoded band by band, proves it gives back exactly
// the pixels; other pixels, damage and truncation are all told apart from a match.
TEST(Verify, ProvesTheStreamDecodesToThePixelsAndNothingElse) {
  nivra_test::SensorModel model;
  auto large = nivra_test::SensorImage(512, 1200, model, nivra_test::Spots);
  Nivra::MonochromeHeader header(5, 1.0f, Model(model));
  auto prepared = Prepare(nivra_test::SensorImage(64, 48, model, nivra_test::Cells), header);
  const Nivra::ParallelFor threads = nivra_test::Threads(3);
  using Result = std::pair<bm_status, bool>;  // status, same pixels
  const Result kMatch{BM_OK, true}, kDiffers{BM_OK, false}, kMalformed{BM_INVALID_FILE_CONTENT, false};
  struct Case {
    const std::vector<uint16_t>& image;
    int32_t width, height;
  };
  for (const Case& c : {Case{large, 512, 1200}, Case{prepared, 64, 48}}) {
    Encoded e = Encode(c.image, c.width, c.height);
    ASSERT_EQ(e.status, BM_OK);
    auto verify = [&](const std::vector<uint8_t>& stream, std::size_t size, const std::vector<uint16_t>& pixels) {
      bool same = true;
      bm_status status = Nivra::verify(stream.data(), static_cast<int32_t>(size), pixels.data(),
                                       static_cast<int32_t>(pixels.size()), threads, same);
      EXPECT_TRUE(status == BM_OK || !same) << "a match needs a stream that decodes";
      return Result{status, same};
    };
    EXPECT_EQ(verify(e.bytes, e.bytes.size(), c.image), kMatch);
    for (std::size_t at : {std::size_t{30}, c.image.size() / 2 + 7, c.image.size() - 1}) {
      auto other = c.image;
      other[at] ^= 1;
      EXPECT_EQ(verify(e.bytes, e.bytes.size(), other), kDiffers) << at;
    }
    EXPECT_EQ(verify(e.bytes, e.bytes.size() - 1, c.image), kMalformed);
    std::mt19937 random(5);
    for (int trial = 0; trial < 40; ++trial) {
      auto damaged = e.bytes;
      damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
      auto [status, same] = verify(damaged, damaged.size(), c.image);
      // A flip in padding changes nothing; otherwise the stream does not decode.
      EXPECT_TRUE(status == BM_INVALID_FILE_CONTENT || same) << status;
    }
  }
}

// Version 3 by default, with more rANS states in large bands; version 2 on request; nothing else.
TEST(StreamVersion, ThreeByDefaultTwoOnRequest) {
  nivra_test::SensorModel model;
  auto image = nivra_test::SensorImage(512, 512, model, nivra_test::Cells);
  auto encode = [&](unsigned version, const std::vector<uint16_t>& pixels, int32_t w, int32_t h) {
    std::vector<uint8_t> out(pixels.size() * 3 + 4096);
    auto length = static_cast<int32_t>(out.size());
    Nivra::EncodeOptions options;
    options.stream_version = version;
    bm_status status = Nivra::encode(pixels.data(), w, h, out.data(), &length, {}, options);
    out.resize(status == BM_OK ? static_cast<std::size_t>(length) : 0);
    return std::pair{status, out};
  };
  auto [status3, v3] = encode(Nivra::kStreamVersion, image, 512, 512);
  ASSERT_EQ(status3, BM_OK);
  EXPECT_EQ(v3[2], 3);
  EXPECT_GT(v3[4] >> 6, 0) << "a large band has more than two states";
  EXPECT_EQ(Decode(v3, image.size()), image);
  auto [status2, v2] = encode(2, image, 512, 512);
  ASSERT_EQ(status2, BM_OK);
  EXPECT_EQ(v2[2], 2);
  EXPECT_EQ(v2[4] >> 6, 0);
  EXPECT_EQ(Decode(v2, image.size()), image);
  // A tiny plane keeps two states: four bytes of each would cost more than they save.
  auto tiny = nivra_test::SensorImage(32, 32, model, nivra_test::Cells);
  auto [status_tiny, tiny_v3] = encode(3, tiny, 32, 32);
  ASSERT_EQ(status_tiny, BM_OK);
  EXPECT_EQ(tiny_v3[4] >> 6, 0);
  for (unsigned version : {0u, 1u, 4u}) EXPECT_EQ(encode(version, image, 512, 512).first, BM_PARAMETER_OUT_OF_RANGE);
}

// The bytes never depend on how the work is spread; bands decode on other threads.
TEST(Bands, SameBytesWhateverTheParallelism) {
  nivra_test::SensorModel model;
  const uint32_t w = 1024, h = 768;
  auto raw = nivra_test::SensorImage(w, h, model, nivra_test::Cells);
  Nivra::ColorHeader header(11, 1.0f, Nivra::ColorFilterArray::kBayerRG, Model(model));
  auto prepared = Prepare(raw, header);
  std::size_t bands = 0;
  Nivra::ParallelFor counting = [&](std::size_t count, const std::function<void(std::size_t)>& task) {
    bands = count;
    nivra_test::Threads(3)(count, task);
  };
  for (const auto& image : {raw, prepared}) {
    Encoded serial = Encode(image, w, h, w * h);
    ASSERT_EQ(serial.status, BM_OK);
    for (const Nivra::ParallelFor& parallel_for : {Nivra::ParallelFor(nivra_test::Reversed), nivra_test::Threads(4)}) {
      Encoded parallel = Encode(image, w, h, w * h, parallel_for);
      ASSERT_EQ(parallel.status, BM_OK);
      EXPECT_EQ(parallel.bytes, serial.bytes);
      EXPECT_EQ(Decode(serial.bytes, image.size(), BM_OK, parallel_for), image);
    }
    EXPECT_EQ(Decode(serial.bytes, image.size(), BM_OK, counting), image);
    EXPECT_GE(bands, 3u) << "a 1024 x 768 image should be cut into bands";
  }
  // Preparation spread over threads gives the same pixels.
  auto threaded = raw;
  Nivra::replace_noise(threaded.data(), threaded.size(), *header.parameters(), 1.0f, 11, nivra_test::Threads(3));
  auto serial = raw;
  Nivra::replace_noise(serial.data(), serial.size(), *header.parameters(), 1.0f, 11);
  EXPECT_EQ(threaded, serial);
  // A task that throws reaches the caller as a status, never as an exception.
  Nivra::ParallelFor failing = [](std::size_t, const std::function<void(std::size_t)>&) { throw std::bad_alloc(); };
  std::vector<uint8_t> out(w * h);
  int32_t length = static_cast<int32_t>(out.size());
  EXPECT_EQ(Nivra::encode(raw.data(), w, h, out.data(), &length, failing), BM_MEMORY_ALLOCATION_FAILED);
}

TEST(Threads, ConcurrentCallsOnDifferentBuffersAgree) {
  // Different headers on different threads also exercise the lattice cache.
  nivra_test::SensorModel model;
  const uint32_t w = 96, h = 64;
  // Drawn up front: the Poisson draws of the standard library share a global (signgam).
  std::vector<std::vector<uint16_t>> raw;
  for (int t = 0; t < 4; ++t) raw.push_back(nivra_test::SensorImage(w, h, model, nivra_test::Cells, t));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        float step = 0.5f + 0.25f * static_cast<float>((t + round) % 6);
        Nivra::MonochromeHeader header(static_cast<uint64_t>(t * 100 + round), step, Model(model));
        auto prepared = Prepare(raw[t], header);
        std::vector<uint8_t> coded(w * h * 3);
        int32_t length = static_cast<int32_t>(coded.size());
        std::vector<uint16_t> decoded(prepared.size());
        if (nivra_encode(prepared.data(), w, h, coded.data(), &length) != BM_OK ||
            nivra_decode(coded.data(), length, decoded.data(), static_cast<int32_t>(decoded.size())) != BM_OK ||
            decoded != prepared) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(StreamInfo, NamesModeAndSizeAndRefusesWhatIsNoStream) {
  nivra_test::SensorModel model;
  const uint32_t w = 96, h = 40;
  auto raw = nivra_test::SensorImage(w, h, model, nivra_test::Spots);
  Nivra::MonochromeHeader header(5, 1.0f, Model(model));
  auto prepared = Prepare(raw, header);
  for (const auto& [pixels, expect_prepared] : {std::pair{raw, false}, std::pair{prepared, true}}) {
    Encoded e = Encode(pixels, w, h);
    ASSERT_EQ(e.status, BM_OK);
    auto info = Nivra::read_stream_info(e.bytes.data(), e.bytes.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->prepared, expect_prepared);
    EXPECT_EQ(info->width, w);
    EXPECT_EQ(info->height, h);
    EXPECT_GE(info->version, 1u);
    for (std::size_t cut = 0; cut < 6; ++cut) EXPECT_FALSE(Nivra::read_stream_info(e.bytes.data(), cut)) << cut;
    auto bad = e.bytes;
    bad[0] ^= 1;
    EXPECT_FALSE(Nivra::read_stream_info(bad.data(), bad.size()));
    bad = e.bytes;
    bad[3] = 7;  // no such mode
    EXPECT_FALSE(Nivra::read_stream_info(bad.data(), bad.size()));
  }
  const uint8_t zstd_frame[] = {0x28, 0xB5, 0x2F, 0xFD, 0x20, 0x00, 0x01, 0x00};
  EXPECT_FALSE(Nivra::read_stream_info(zstd_frame, sizeof zstd_frame));
  EXPECT_FALSE(Nivra::read_stream_info(nullptr, 0));
}
