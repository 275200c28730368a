#include "tarn/file/metadata/metadata.hpp"

#include <sstream>

#include <gtest/gtest.h>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "test_util.hpp"

namespace tarn {
namespace {

using chunk::UnspecifiedData;

Chunks Plain(std::initializer_list<uint64_t> lengths) {
  Chunks chunks;
  for (uint64_t length : lengths) chunks.push_back(std::make_unique<UnspecifiedData>(length));
  return chunks;
}

std::string InvalidArgumentText(uint64_t length, std::initializer_list<uint64_t> lengths) {
  try {
    Metadata(length, Plain(lengths));
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "";
}

TEST(MetadataTest, ConstructorInvariants) {
  EXPECT_EQ(InvalidArgumentText(10, {}), "Metadata must contain at least one chunk");
  EXPECT_EQ(InvalidArgumentText(7, {4, 4}),
            "Length of the represented data should be greater or equal to the total chunks length");
  EXPECT_EQ(InvalidArgumentText(10, {4, 4}),
            "If there is any serialized metadata, it must at least have the size of the footer");
  // Lengths whose sum wraps around must not slip through.
  EXPECT_EQ(InvalidArgumentText(10, {UINT64_MAX, 11}),
            "Length of the represented data should be greater or equal to the total chunks length");
  Metadata serialized(20, Plain({4, 4}));
  EXPECT_EQ(serialized.SerializedLength(), 12u);
  EXPECT_EQ(serialized.CurrentLength(), 8u);
  EXPECT_EQ(Metadata::FromChunks(Plain({3, 5})).length, 8u);
}

TEST(MetadataTest, FromReaderFillsGapsAndTail) {
  ChunkMap map;
  map.emplace(100, std::make_unique<UnspecifiedData>(Codec::Zstd, 50, 70));
  map.emplace(200, std::make_unique<UnspecifiedData>(Codec::Zstd, 50, 70));
  const Metadata metadata = Metadata::FromReader(300, std::move(map));
  ASSERT_EQ(metadata.chunks.size(), 5u);
  const uint64_t lengths[] = {100, 50, 50, 50, 50};
  const Codec codecs[] = {Codec::None, Codec::Zstd, Codec::None, Codec::Zstd, Codec::None};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(metadata.chunks[i]->length, lengths[i]);
    EXPECT_EQ(metadata.chunks[i]->codec, codecs[i]);
  }
  EXPECT_EQ(metadata.DecodedLength(), 340u);

  ChunkMap overlapped;
  overlapped.emplace(100, std::make_unique<UnspecifiedData>(50));
  overlapped.emplace(120, std::make_unique<UnspecifiedData>(50));
  try {
    Metadata::FromReader(300, std::move(overlapped));
    FAIL();
  } catch (const bad_metadata& error) {
    EXPECT_STREQ(error.what(), "provided chunks are overlapped");
  }

  const Metadata whole = Metadata::FromReader(42, {});
  ASSERT_EQ(whole.chunks.size(), 1u);
  EXPECT_EQ(whole.chunks[0]->length, 42u);
}

TEST(MetadataTest, CopiesCloneAndCompare) {
  const Metadata original(20, Plain({4, 4}));
  const Metadata copy(original);
  EXPECT_TRUE(copy == original);
  EXPECT_NE(copy.chunks[0].get(), original.chunks[0].get());
  EXPECT_FALSE(Metadata(8, Plain({4, 4})) == original);
  EXPECT_FALSE(Metadata(20, Plain({3, 5})) == original);
}

TEST(MetadataTest, WalkEncodesAndDecodesEveryChunk) {
  const std::string bytes = test::TextLikeBytes(5000) + test::RandomBytes(3000);
  const Metadata source = Metadata::FromChunks(Plain({1000, 4000, 3000}));
  std::istringstream in(bytes);
  std::ostringstream encoded;
  const Metadata compressed = source.EncodeStream(in, encoded);
  EXPECT_EQ(compressed.length, encoded.str().size());
  EXPECT_EQ(compressed.DecodedLength(), source.DecodedLength());
  for (const auto& chunk : compressed.chunks) EXPECT_EQ(chunk->codec, Codec::Zstd);

  std::istringstream compressed_in(encoded.str());
  std::ostringstream decoded;
  const Metadata restored = compressed.DecodeStream(compressed_in, decoded);
  EXPECT_EQ(decoded.str(), bytes);
  EXPECT_TRUE(restored == source);
}

TEST(MetadataTest, WalkWrapsForeignFailuresWithStatusThree) {
  const Metadata metadata = Metadata::FromChunks(Plain({10}));
  std::istringstream short_input("abc");
  std::ostringstream out;
  // Copying a None chunk from a stream that ends early fails with a stream error.
  try {
    metadata.PrepareStream(short_input, out);
    FAIL();
  } catch (const PrepareError& error) {
    EXPECT_EQ(error.status(), kTarnStatusUnknownError);
    EXPECT_THROW(std::rethrow_if_nested(error), std::ios_base::failure);
  }
  std::istringstream short_compressed("abc");
  const Metadata zstd_metadata = Metadata::FromChunks([] {
    Chunks chunks;
    chunks.push_back(std::make_unique<UnspecifiedData>(Codec::None, 10, 10));
    return chunks;
  }());
  // A tarn::Error from inside the walk keeps its status.
  try {
    zstd_metadata.EncodeStream(short_compressed, out);
    FAIL();
  } catch (const EncodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
  }
  std::istringstream short_again("abc");
  try {
    metadata.DecodeStream(short_again, out);
    FAIL();
  } catch (const DecodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusUnknownError);
    EXPECT_EQ(std::string(error.what()).rfind("Unknown decoder error: ", 0), 0u) << error.what();
  }
}

// A chunk whose operations fail with something that is no standard exception.
class ThrowingChunk : public UnspecifiedData {
 public:
  ThrowingChunk() : UnspecifiedData(4) {}
  std::unique_ptr<Chunk> CloneWithCodec(Codec, uint64_t) const override { return std::make_unique<ThrowingChunk>(); }

 protected:
  CodecResult EncodeStream_(std::istream&, std::ostream&) const override { throw 42; }
  CodecResult PrepareStream_(std::istream&, std::ostream&) const override { throw 42; }
};

TEST(MetadataTest, WalkWrapsNonStandardFailures) {
  Chunks chunks;
  chunks.push_back(std::make_unique<ThrowingChunk>());
  const Metadata metadata = Metadata::FromChunks(std::move(chunks));
  std::istringstream in("abcd");
  std::ostringstream out;
  try {
    metadata.EncodeStream(in, out);
    FAIL();
  } catch (const EncodeError& error) {
    EXPECT_EQ(error.status(), kTarnStatusUnknownError);
    EXPECT_STREQ(error.what(), "Unknown encoder error: unknown");
  }
  try {
    metadata.PrepareStream(in, out);
    FAIL();
  } catch (const PrepareError& error) {
    EXPECT_STREQ(error.what(), "unknown");
  }
}

}  // namespace
}  // namespace tarn
