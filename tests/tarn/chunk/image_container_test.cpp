// Image chunks inside whole compressed files: encode walk, metadata block, decode walk.
#include <sstream>

#include <gtest/gtest.h>

#include "image_samples.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn {
namespace {

using chunk::Image;
using chunk::InterleavedImage;
using chunk::image::Calibration;

Calibration SeededCalibration() {
  Calibration calibration;
  calibration.gain = 1.5;
  calibration.black_level = 100;
  calibration.sigma = 3;
  calibration.white_level = 4095;
  calibration.seed = 20240611;
  return calibration;
}

// A made-up container: a header, a 16-bit big-endian image, a gap, an 8-bit
// image, an RGB 16-bit interleaved image, a noise image and a trailer.
struct SampleFile {
  std::string bytes;
  ChunkMap map;
  std::vector<Codec> expected;  // codec of every chunk after compression

  SampleFile() {
    const Calibration calibration = SeededCalibration();
    Add(test::TextLikeBytes(300), nullptr, Codec::Zstd);
    Add(test::CameraBytes(200 * 100, 200, std::endian::big),
        std::make_unique<Image>(200, 100, 2, std::endian::big, calibration), Codec::Nivra);
    Add(test::TextLikeBytes(77), nullptr, Codec::Zstd);
    Add(std::string(64 * 32, '\x42'), std::make_unique<Image>(64, 32, 1, std::endian::little, calibration),
        Codec::Zstd);
    Add(test::CameraBytes(3 * 64 * 40, 3 * 64), std::make_unique<InterleavedImage>(64, 40, 64 * 6, 3, 2,
                                                                                  std::endian::little, calibration),
        Codec::Nivra);
    Add(test::RandomBytes(48 * 48 * 2), std::make_unique<Image>(48, 48, 2, std::endian::little, calibration),
        Codec::Zstd);
    Add(test::TextLikeBytes(1000), nullptr, Codec::Zstd);
  }

  Metadata Describe() {
    ChunkMap copy;
    for (const auto& [offset, chunk] : map) copy.emplace(offset, chunk->Clone());
    return Metadata::FromReader(bytes.size(), std::move(copy));
  }

 private:
  void Add(const std::string& part, std::unique_ptr<Chunk> chunk, Codec codec) {
    if (chunk) map.emplace(bytes.size(), std::move(chunk));
    bytes += part;
    expected.push_back(codec);
  }
};

std::string Walk(const Metadata& metadata, const std::string& in_bytes,
                 Metadata (Metadata::*walk)(std::istream&, std::ostream&) const) {
  std::istringstream in(in_bytes);
  std::ostringstream out;
  (metadata.*walk)(in, out);
  return out.str();
}

TEST(ImageContainerTest, CompressedFileDecodesToTheOriginal) {
  SampleFile file;
  const Metadata source = file.Describe();
  ASSERT_EQ(source.chunks.size(), file.expected.size());

  std::istringstream in(file.bytes);
  std::stringstream compressed;
  const Metadata encoded = source.EncodeStream(in, compressed);
  encoded.SerializeToStream(compressed);

  std::istringstream reread(compressed.str());
  const Metadata read = Metadata::DeserializeFromStream(reread);
  ASSERT_EQ(read.chunks.size(), file.expected.size());
  for (size_t i = 0; i < read.chunks.size(); ++i) EXPECT_EQ(read.chunks[i]->codec, file.expected[i]) << "chunk " << i;
  EXPECT_EQ(read.DecodedLength(), file.bytes.size());
  EXPECT_LT(compressed.str().size(), file.bytes.size() * 3 / 4);

  reread.clear();
  reread.seekg(0);
  std::ostringstream restored;
  read.DecodeStream(reread, restored);
  EXPECT_TRUE(restored.str() == file.bytes);
}

TEST(ImageContainerTest, PreparingTwiceGivesTheSameFile) {
  SampleFile file;
  const Metadata source = file.Describe();
  const std::string once = Walk(source, file.bytes, &Metadata::PrepareStream);
  ASSERT_EQ(once.size(), file.bytes.size());
  EXPECT_NE(once, file.bytes);
  EXPECT_TRUE(Walk(source, once, &Metadata::PrepareStream) == once);
}

TEST(ImageContainerTest, PrepareAndCompressDecodesToThePreparedFile) {
  SampleFile file;
  const Metadata source = file.Describe();
  const std::string prepared = Walk(source, file.bytes, &Metadata::PrepareStream);

  std::istringstream in(file.bytes);
  std::stringstream compressed;
  source.PrepareAndEncodeStream(in, compressed).SerializeToStream(compressed);
  std::istringstream reread(compressed.str());
  const Metadata read = Metadata::DeserializeFromStream(reread);
  reread.clear();
  reread.seekg(0);
  std::ostringstream restored;
  read.DecodeStream(reread, restored);
  EXPECT_TRUE(restored.str() == prepared);
}

}  // namespace
}  // namespace tarn
