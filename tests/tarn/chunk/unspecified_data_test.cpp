#include "tarn/file/metadata/chunk/unspecified_data.hpp"

#include <sstream>

#include <gtest/gtest.h>
#include <zstd.h>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/zstd.hpp"
#include "test_util.hpp"

namespace tarn {
namespace {

using chunk::UnspecifiedData;

// Encodes `bytes` as one unspecified chunk and decodes the result again.
std::string RoundTrip(const std::string& bytes, uint64_t* encoded_length = nullptr) {
  UnspecifiedData source(bytes.size());
  std::istringstream in(bytes);
  std::ostringstream encoded;
  auto written = source.EncodeStream(in, encoded);
  EXPECT_EQ(written->codec, Codec::Zstd);
  EXPECT_EQ(written->length, encoded.str().size());
  EXPECT_EQ(written->DecodedLength(), bytes.size());
  if (encoded_length) *encoded_length = written->length;

  std::istringstream compressed(encoded.str());
  std::ostringstream decoded;
  auto restored = written->DecodeStream(compressed, decoded);
  EXPECT_EQ(restored->codec, Codec::None);
  EXPECT_EQ(restored->length, bytes.size());
  return decoded.str();
}

TEST(UnspecifiedDataTest, RoundTripsOfAwkwardSizes) {
  const size_t block = ZSTD_CStreamInSize();
  for (size_t size : {size_t{1}, size_t{2}, block - 1, block, block + 1, 3 * block}) {
    const std::string bytes = test::RandomBytes(size, static_cast<uint32_t>(size));
    EXPECT_EQ(RoundTrip(bytes), bytes) << "size " << size;
  }
}

TEST(UnspecifiedDataTest, CompressesRedundantData) {
  const std::string bytes = test::TextLikeBytes(1 << 20);
  uint64_t encoded = 0;
  EXPECT_EQ(RoundTrip(bytes, &encoded), bytes);
  EXPECT_LT(encoded, bytes.size() / 10);
}

TEST(UnspecifiedDataTest, EncodeReadsOnlyItsOwnBytes) {
  std::istringstream in("abcdefXYZ");
  std::ostringstream out;
  UnspecifiedData(6).EncodeStream(in, out);
  std::string rest;
  in >> rest;
  EXPECT_EQ(rest, "XYZ");
}

TEST(UnspecifiedDataTest, TruncatedInputIsInvalidContentInBothDirections) {
  std::istringstream short_input("abc");
  std::ostringstream out;
  try {
    UnspecifiedData(10).EncodeStream(short_input, out);
    FAIL() << "no error";
  } catch (const EncodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
    EXPECT_STREQ(error.what(), "Zstd encoder error: unexpected EOF");
  }

  const std::string bytes = test::TextLikeBytes(100000);
  std::istringstream in(bytes);
  std::ostringstream encoded;
  auto written = UnspecifiedData(bytes.size()).EncodeStream(in, encoded);
  const std::string frame = encoded.str();
  // The chunk claims its full length but the stream ends early.
  std::istringstream cut(frame.substr(0, frame.size() / 2));
  std::ostringstream decoded;
  try {
    written->DecodeStream(cut, decoded);
    FAIL() << "no error";
  } catch (const DecodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
    EXPECT_STREQ(error.what(), "Zstd decoder error: unexpected EOF");
  }
}

TEST(UnspecifiedDataTest, DecoderRefusesFramesThatDoNotMatchTheChunk) {
  const std::string bytes = test::TextLikeBytes(300000);
  std::istringstream in(bytes);
  std::ostringstream encoded;
  auto written = UnspecifiedData(bytes.size()).EncodeStream(in, encoded);
  const std::string frame = encoded.str();

  // A chunk that holds only the first half of the frame: the frame does not end.
  UnspecifiedData half(Codec::Zstd, frame.size() / 2, bytes.size());
  std::istringstream half_in(frame);
  std::ostringstream sink;
  EXPECT_THROW(half.DecodeStream(half_in, sink), DecodeError);

  // A chunk that declares another decoded length.
  for (uint64_t declared : {uint64_t{bytes.size() - 1}, uint64_t{bytes.size() + 1}}) {
    UnspecifiedData wrong(Codec::Zstd, frame.size(), declared);
    std::istringstream wrong_in(frame);
    std::ostringstream wrong_out;
    try {
      wrong.DecodeStream(wrong_in, wrong_out);
      FAIL() << "declared " << declared;
    } catch (const DecodeError& error) {
      EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
    }
  }

  // Corrupt bytes inside the frame.
  std::string corrupt = frame;
  for (size_t i = 20; i < corrupt.size(); i += 7) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
  std::istringstream corrupt_in(corrupt);
  std::ostringstream corrupt_out;
  try {
    written->DecodeStream(corrupt_in, corrupt_out);
    FAIL() << "corrupt frame decoded";
  } catch (const DecodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
}

TEST(UnspecifiedDataTest, FramesCarryAChecksumThatFindsEveryFlippedBit) {
  // Incompressible bytes are stored as they are: without a checksum a flip would pass.
  const std::string bytes = test::RandomBytes(200000, 3);
  std::istringstream in(bytes);
  std::ostringstream encoded;
  const auto written = UnspecifiedData(bytes.size()).EncodeStream(in, encoded);
  const std::string frame = encoded.str();
  // Frame header descriptor after the 4-byte magic number: bit 2 is the checksum flag.
  EXPECT_NE(static_cast<uint8_t>(frame[4]) & 0x04, 0);
  for (size_t position : {size_t{100}, frame.size() / 2, frame.size() - 5, frame.size() - 1}) {
    std::string damaged = frame;
    damaged[position] = static_cast<char>(damaged[position] ^ 0x10);
    std::istringstream damaged_in(damaged);
    std::ostringstream out;
    try {
      written->DecodeStream(damaged_in, out);
      FAIL() << "flip at " << position << " passed";
    } catch (const DecodeError& error) {
      EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
    }
  }
  // Frames written before they carried a checksum still decode.
  std::string old(ZSTD_compressBound(bytes.size()), '\0');
  old.resize(ZSTD_compress(old.data(), old.size(), bytes.data(), bytes.size(), 3));
  std::istringstream old_in(old);
  std::ostringstream old_out;
  UnspecifiedData(Codec::Zstd, old.size(), bytes.size()).DecodeStream(old_in, old_out);
  EXPECT_TRUE(old_out.str() == bytes);
}

TEST(UnspecifiedDataTest, CodecsWithoutOperationCopyBytes) {
  const std::string bytes = "0123456789";
  for (Codec codec : {Codec::Zstd, Codec::Unknown, static_cast<Codec>(5)}) {
    UnspecifiedData chunk(codec, bytes.size(), 99);
    std::istringstream in(bytes);
    std::ostringstream out;
    std::unique_ptr<Chunk> result =
        codec == Codec::Zstd ? chunk.EncodeStream(in, out) : chunk.DecodeStream(in, out);
    EXPECT_EQ(out.str(), bytes);
    EXPECT_EQ(result->codec, codec);
    EXPECT_EQ(result->length, bytes.size());
  }
  UnspecifiedData plain(bytes.size());
  std::istringstream in(bytes);
  std::ostringstream out;
  EXPECT_EQ(plain.PrepareStream(in, out)->codec, Codec::None);
  EXPECT_EQ(out.str(), bytes);
}

TEST(UnspecifiedDataTest, JsonCloneAndEquality) {
  UnspecifiedData chunk(Codec::Zstd, 200, 1000);
  const Json::Value json = chunk.ToJson();
  EXPECT_EQ(json["codec"].asInt(), 2);
  EXPECT_EQ(json["length"].asUInt64(), 200u);
  EXPECT_EQ(json["decoded_length"].asUInt64(), 1000u);
  EXPECT_TRUE(*Chunk::FromJson(json, 4) == chunk);
  EXPECT_TRUE(*chunk.Clone() == chunk);
  EXPECT_EQ(chunk.CloneWithCodec(Codec::None, 1000)->DecodedLength(), 1000u);
  EXPECT_FALSE(UnspecifiedData(Codec::Zstd, 200, 999) == chunk);

  Json::Value missing = json;
  missing.removeMember("decoded_length");
  try {
    Chunk::FromJson(missing, 4);
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "JSON does not correspond to UnspecifiedData");
  }
  EXPECT_THROW(UnspecifiedData(0), std::invalid_argument);
  EXPECT_THROW(Chunk::FromJson(Json::Value("text"), 4), std::invalid_argument);
  // A stored chunk whose decoded size differs from its size would restore a wrong file.
  EXPECT_THROW(UnspecifiedData(Codec::None, 10, 20), std::invalid_argument);
}

TEST(CodecTest, Names) {
  EXPECT_EQ(CodecName(Codec::None), "None");
  EXPECT_EQ(CodecName(Codec::Nivra), "Nivra");
  EXPECT_EQ(CodecName(Codec::Zstd), "Zstd");
  EXPECT_EQ(CodecName(Codec::Unknown), "Unknown");
  EXPECT_EQ(CodecName(static_cast<Codec>(5)), "Invalid");
}

}  // namespace
}  // namespace tarn
