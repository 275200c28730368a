#include "tarn/file/metadata/chunk/image.hpp"

#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "log_recorder.hpp"
#include "tarn/error.hpp"
#include "tarn/util/checksum.hpp"

namespace tarn {
namespace {

namespace nv = Brimlake::Nivra;
using chunk::Image;
using chunk::image::Calibration;
using test::Decode;
using test::Encode;

Calibration CameraCalibration(uint64_t seed = 1234) {
  Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 64;
  calibration.sigma = 2;
  calibration.white_level = 4095;
  calibration.seed = seed;
  return calibration;
}

Json::Value ImageJson() {
  Json::Value json;
  json["codec"] = 1;
  json["length"] = Json::UInt64{1000};
  json["width"] = 64;
  json["height"] = 32;
  json["bytes_per_pixel"] = 2;
  json["endianness"] = "b";
  return json;
}

TEST(ImageTest, ConstructionChecks) {
  EXPECT_EQ(Image(10, 20, 2, std::endian::little, {}).length, 400U);
  EXPECT_THROW(Image(Codec::Nivra, 0, 10, 20, 2, std::endian::little, {}), std::invalid_argument);
  EXPECT_THROW(Image(Codec::Zstd, 10, 0, 20, 2, std::endian::little, {}), std::runtime_error);
  EXPECT_THROW(Image(Codec::Zstd, 10, 10, 20, 0, std::endian::little, {}), std::runtime_error);

  test::LogRecorder log;
  try {
    Image(Codec::None, 399, 10, 20, 2, std::endian::little, {});
    FAIL() << "accepted a wrong length";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "chunk::Image: Bad input length for non-encoded image");
  }
  EXPECT_TRUE(log.Contains("Tried to initialize an uncompressed Image (codec None) but provided length 399 != "
                           "calculated uncompressed length 400"));
}

TEST(ImageTest, SizesOfFourGibibytesAreRefusedInsteadOfWrapping) {
  EXPECT_EQ(chunk::ImageDecodedLength(65536, 65536, 2), uint64_t{1} << 33);
  EXPECT_THROW(Image(65536, 32768, 2, std::endian::little, {}), std::invalid_argument);
  EXPECT_THROW(Image(Codec::Zstd, 100, 65536, 65536, 1, std::endian::little, {}), std::invalid_argument);
  EXPECT_NO_THROW(Image(Codec::Zstd, 100, 65535, 32768, 2, std::endian::little, {}));
}

TEST(ImageTest, JsonRoundTripAndVersions) {
  const auto image = Image::FromJson(ImageJson(), 4);
  EXPECT_EQ(image->codec, Codec::Nivra);
  EXPECT_EQ(image->endianness, std::endian::big);
  const Json::Value written = image->ToJson();
  for (const char* key : {"codec", "length", "width", "height", "bytes_per_pixel", "endianness"}) {
    EXPECT_EQ(written[key].asString(), ImageJson()[key].asString()) << key;
  }
  EXPECT_EQ(written.size(), 6U);
  EXPECT_EQ(*Chunk::FromJson(ImageJson(), 3), *image);

  Json::Value old = ImageJson();
  old.removeMember("endianness");
  EXPECT_EQ(Image::FromJson(old, 2)->endianness, std::endian::little);
  try {
    Image::FromJson(old, 3);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "JSON does not contain endianness information");
  }
  old["endianness"] = "big";
  EXPECT_THROW(Image::FromJson(old, 3), std::invalid_argument);
}

TEST(ImageTest, JsonWithMissingKeysOrWrongTypesIsRefused) {
  for (const char* key : {"codec", "length", "width", "height", "bytes_per_pixel"}) {
    Json::Value json = ImageJson();
    json.removeMember(key);
    try {
      Image::FromJson(json, 4);
      FAIL() << key;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "JSON does not correspond to an Image") << key;
    }
  }
  const std::pair<const char*, Json::Value> bad_values[] = {
      {"width", "64"}, {"width", -1}, {"length", 1.5}, {"bytes_per_pixel", 65538}, {"codec", "Nivra"},
      {"height", Json::Value(Json::arrayValue)}};
  for (const auto& [key, value] : bad_values) {
    Json::Value json = ImageJson();
    json[key] = value;
    EXPECT_THROW(Image::FromJson(json, 4), std::invalid_argument) << key;
  }
  EXPECT_THROW(Image::FromJson(Json::Value("image"), 4), std::invalid_argument);
}

TEST(ImageTest, CalibrationIsReadButNeverWritten) {
  Json::Value json = ImageJson();
  json["calibration"]["identifier"] = "Cam_ISO100";
  json["calibration"]["error_bound"] = 0.5;
  const auto image = Image::FromJson(json, 4);
  EXPECT_EQ(image->calibration.identifier, "Cam_ISO100");
  EXPECT_FALSE(image->ToJson().isMember("calibration"));
}

TEST(ImageTest, CloneEqualityAndCalibrationId) {
  Image image(8, 8, 2, std::endian::big, CameraCalibration());
  const auto clone = image.CloneWithCodec(Codec::Zstd, 17);
  const auto& cloned = dynamic_cast<const Image&>(*clone);
  EXPECT_EQ(cloned.codec, Codec::Zstd);
  EXPECT_EQ(cloned.length, 17U);
  EXPECT_EQ(cloned.DecodedLength(), 128U);
  EXPECT_EQ(*cloned.CloneWithCodec(Codec::None, 128), image);

  Image other(8, 8, 2, std::endian::little, CameraCalibration());
  EXPECT_FALSE(image == other);
  image.SetCalibrationId("Cam_ISO800");
  EXPECT_EQ(image.calibration.identifier, "Cam_ISO800");
  EXPECT_FALSE(*image.Clone() == Image(8, 8, 2, std::endian::big, CameraCalibration()));
}

TEST(ImageTest, CameraDataEncodesWithNivraAndDecodesIdentically) {
  for (std::endian order : {std::endian::little, std::endian::big}) {
    const std::string bytes = test::CameraBytes(256 * 128, 256, order);
    const Image image(256, 128, 2, order, {});
    const auto encoded = Encode(image, bytes);
    EXPECT_EQ(encoded.chunk->codec, Codec::Nivra);
    EXPECT_LT(encoded.bytes.size(), bytes.size() / 2);
    const auto decoded = Decode(*encoded.chunk, encoded.bytes);
    EXPECT_EQ(decoded.chunk->codec, Codec::None);
    EXPECT_TRUE(decoded.bytes == bytes) << "byte order " << (order == std::endian::big ? "big" : "little");
  }
}

TEST(ImageTest, RefusedImagesAreStoredWithZstd) {
  // Noise does not fit in half its size; 8-bit and odd sizes are not the codec's.
  const struct {
    uint32_t width, height;
    uint16_t bytes_per_pixel;
    std::string bytes;
  } cases[] = {{64, 64, 2, test::RandomBytes(64 * 64 * 2)},
               {64, 64, 1, std::string(64 * 64, '\x10')},
               {5, 7, 3, test::TextLikeBytes(5 * 7 * 3)},
               {3, 3, 4, test::RandomBytes(36)}};
  for (const auto& sample : cases) {
    const Image image(sample.width, sample.height, sample.bytes_per_pixel, std::endian::big, {});
    const auto encoded = Encode(image, sample.bytes);
    EXPECT_EQ(encoded.chunk->codec, Codec::Zstd) << sample.bytes_per_pixel;
    EXPECT_TRUE(Decode(*encoded.chunk, encoded.bytes).bytes == sample.bytes) << sample.bytes_per_pixel;
  }
}

// Delivers its bytes, except that after the first seek (where the zstd
// fallback starts) it ends half way, as a failing device would.
class FlakyAfterFirstSeek : public std::streambuf {
 public:
  explicit FlakyAfterFirstSeek(std::string bytes) : bytes_(std::move(bytes)) { Show(bytes_.size()); }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    if (dir == std::ios_base::cur && offset == 0) return pos_type(gptr() - eback());  // tellg
    const off_type base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? gptr() - eback() : egptr() - eback();
    return seekpos(pos_type(base + offset), std::ios_base::in);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    ++seeks_;
    Show(seeks_ == 1 ? bytes_.size() / 2 : bytes_.size());
    const off_type target = std::min<off_type>(off_type(position), egptr() - eback());
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }

 private:
  void Show(size_t count) { setg(bytes_.data(), bytes_.data(), bytes_.data() + count); }

  std::string bytes_;
  int seeks_ = 0;
};

TEST(ImageTest, ImagesThatZstdCannotStoreEitherAreCopied) {
  const std::string noise = test::RandomBytes(64 * 64 * 2, 3);
  FlakyAfterFirstSeek buffer(noise);
  std::istream in(&buffer);
  std::ostringstream out;
  out << "before";
  test::LogRecorder log;
  const auto written = Image(64, 64, 2, std::endian::little, {}).EncodeStream(in, out);
  EXPECT_EQ(written->codec, Codec::None);
  EXPECT_TRUE(out.str() == "before" + noise) << "the half-written zstd frame must be taken back";
  EXPECT_TRUE(log.Contains("Chunk will be copied over."));

  // The copy carries the checksum of what was stored, through the JSON too, and restoring
  // checks it.
  EXPECT_EQ(written->checksum, util::Xxh3(noise));
  const auto read = Chunk::FromJson(written->ToJson(), 4);
  EXPECT_EQ(read->checksum, written->checksum);
  EXPECT_EQ(Decode(*read, noise).bytes, noise);
  std::string damaged = noise;
  damaged[noise.size() / 3] ^= 4;
  try {
    Decode(*read, damaged);
    ADD_FAILURE() << "a flipped bit in a chunk stored as it is was restored";
  } catch (const DecodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
  Json::Value malformed = written->ToJson();
  malformed["checksum"] = "not a checksum";
  EXPECT_THROW(Chunk::FromJson(malformed, 4), bad_metadata);
}

TEST(ImageTest, CodedChunksAreCopiedByEncodeAndPrepare) {
  const Image coded(Codec::Nivra, 5, 4, 4, 2, std::endian::little, {});
  for (auto operation : {test::Operation::kEncode, test::Operation::kPrepare, test::Operation::kPrepareAndEncode}) {
    test::LogRecorder log;
    const auto written = test::Run(coded, "abcde", operation);
    EXPECT_EQ(written.bytes, "abcde");
    EXPECT_EQ(*written.chunk, coded);
    EXPECT_TRUE(log.Contains("already encoded with Nivra"));
  }
}

TEST(ImageTest, UnknownCodecsDecodeAsCopiesWithAWarning) {
  test::LogRecorder log;
  const Image unknown(Codec::Unknown, 3, 4, 4, 2, std::endian::little, {});
  const auto written = Decode(unknown, "xyz");
  EXPECT_EQ(written.bytes, "xyz");
  EXPECT_EQ(written.chunk->codec, Codec::Unknown);
  EXPECT_TRUE(log.Contains("Attempted to decode Image with a codec that has no designated decoder: Unknown"));
  Decode(Image(static_cast<Codec>(5), 3, 4, 4, 2, std::endian::little, {}), "xyz");
  EXPECT_TRUE(log.Contains("no designated decoder: Invalid"));
}

TEST(ImageTest, DamagedNivraDataIsADecodeError) {
  const std::string bytes = test::CameraBytes(64 * 64, 64);
  const auto encoded = Encode(Image(64, 64, 2, std::endian::little, {}), bytes);
  ASSERT_EQ(encoded.chunk->codec, Codec::Nivra);
  const Image truncated(Codec::Nivra, encoded.bytes.size() / 2, 64, 64, 2, std::endian::little, {});
  EXPECT_THROW(Decode(truncated, encoded.bytes.substr(0, encoded.bytes.size() / 2)), DecodeError);
  // An 8-bit image claiming Nivra data would make the decoder write twice its buffer.
  const Image eight_bit(Codec::Nivra, encoded.bytes.size(), 64, 64, 1, std::endian::little, {});
  EXPECT_THROW(Decode(eight_bit, encoded.bytes), DecodeError);
}

TEST(ImageTest, PreparationIsStableAndKeepsTheSize) {
  for (std::endian order : {std::endian::little, std::endian::big}) {
    const std::string bytes = test::CameraBytes(128 * 64, 128, order);
    const Image image(128, 64, 2, order, CameraCalibration());
    const auto once = test::Run(image, bytes, test::Operation::kPrepare);
    EXPECT_EQ(*once.chunk, image);
    EXPECT_NE(once.bytes, bytes);
    const auto twice = test::Run(image, once.bytes, test::Operation::kPrepare);
    EXPECT_TRUE(twice.bytes == once.bytes) << "preparing a prepared image must not change it";
    // The same seed gives the same result.
    EXPECT_TRUE(test::Run(image, bytes, test::Operation::kPrepare).bytes == once.bytes);
  }
}

TEST(ImageTest, PrepareAndEncodeDecodesToThePreparedImage) {
  for (std::endian order : {std::endian::little, std::endian::big}) {
    const std::string bytes = test::CameraBytes(128 * 64, 128, order);
    const Image image(128, 64, 2, order, CameraCalibration(99));
    const auto prepared = test::Run(image, bytes, test::Operation::kPrepare);
    const auto encoded = test::Run(image, bytes, test::Operation::kPrepareAndEncode);
    EXPECT_EQ(encoded.chunk->codec, Codec::Nivra);
    EXPECT_TRUE(Decode(*encoded.chunk, encoded.bytes).bytes == prepared.bytes);
  }
}

TEST(ImageTest, PreparingEightBitImagesCopiesThem) {
  const std::string bytes = test::TextLikeBytes(32 * 16);
  const auto written = test::Run(Image(32, 16, 1, std::endian::little, CameraCalibration()), bytes,
                                 test::Operation::kPrepare);
  EXPECT_EQ(written.bytes, bytes);
}

TEST(ImageTest, PreparationNeedsUsableCalibration) {
  const std::string bytes = test::CameraBytes(64 * 64, 64);
  try {
    test::LogRecorder log;
    test::Run(Image(64, 64, 2, std::endian::little, {}), bytes, test::Operation::kPrepare);
    FAIL();
  } catch (const PrepareError& error) {
    EXPECT_EQ(error.status(), kTarnStatusNoParametersForIdentifier);
    EXPECT_STREQ(error.what(), "no valid identifier found during preparation");
  }
  Calibration zero_bound = CameraCalibration();
  zero_bound.error_bound = 0;
  for (auto operation : {test::Operation::kPrepare, test::Operation::kPrepareAndEncode}) {
    try {
      test::Run(Image(64, 64, 2, std::endian::little, zero_bound), bytes, operation);
      FAIL();
    } catch (const PrepareError& error) {
      EXPECT_EQ(error.status(), kTarnStatusParametersNotUsable);
      EXPECT_STREQ(error.what(), "error_bound must be larger than 0.");
    }
  }
}

TEST(ImageTest, TruncatedInputIsInvalidContent) {
  const Image image(64, 64, 2, std::endian::little, {});
  std::istringstream in(test::CameraBytes(100, 64));
  std::ostringstream out;
  try {
    image.EncodeStream(in, out);
    FAIL();
  } catch (const EncodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
}

}  // namespace
}  // namespace tarn
