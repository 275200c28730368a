// Every Nivra stream is decoded and compared with its input before it is stored: a
// stream that does not give the input back (forced here through the codec hook) is
// replaced by zstd, an error names the chunk, and the result is still exact.
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "file/tiff_bytes.hpp"
#include "image_samples.hpp"
#include "log_recorder.hpp"
#include "nivra/nivra.hpp"
#include "tarn/file/metadata/chunk/codec/nivra_hooks.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"

namespace tarn {
namespace {

namespace hooks = codec::nivra::hooks;

// Damages every encoded stream for as long as it lives.
class DamagedStreams {
 public:
  explicit DamagedStreams(std::function<void(std::span<uint8_t>)> damage) {
    hooks::SetEncodedStreamHook(std::move(damage));
  }
  ~DamagedStreams() { hooks::SetEncodedStreamHook({}); }
};

void FlipMiddleByte(std::span<uint8_t> stream) { stream[stream.size() / 2] ^= 0x5a; }
void BreakSignature(std::span<uint8_t> stream) { stream[0] ^= 0xff; }

chunk::image::Calibration CameraCalibration() {
  chunk::image::Calibration calibration;
  calibration.gain = 2;
  calibration.black_level = 64;
  calibration.sigma = 2;
  calibration.white_level = 4095;
  calibration.seed = 11;
  return calibration;
}

struct ChunkCase {
  const char* name;
  std::function<std::unique_ptr<Chunk>()> make;
  std::string bytes;
  test::Operation operation;  // kEncode or kPrepareAndEncode
  const char* kind;
};

std::vector<ChunkCase> ChunkCases() {
  const std::string plane = test::CameraBytes(128 * 64, 128);
  const std::string big_endian = test::CameraBytes(128 * 64, 128, std::endian::big);
  const std::string rows = test::CameraBytes(64 * 3 * 32, 64 * 3);
  using chunk::Image;
  using chunk::InterleavedImage;
  using test::Operation;
  return {
      {"Image", [] { return std::make_unique<Image>(128, 64, 2, std::endian::little, chunk::image::Calibration{}); },
       plane, Operation::kEncode, "Image"},
      {"BigEndianImage",
       [] { return std::make_unique<Image>(128, 64, 2, std::endian::big, chunk::image::Calibration{}); }, big_endian,
       Operation::kEncode, "Image"},
      {"PreparedImage", [] { return std::make_unique<Image>(128, 64, 2, std::endian::little, CameraCalibration()); },
       plane, Operation::kPrepareAndEncode, "Image"},
      {"OneChannel",
       [] {
         return std::make_unique<InterleavedImage>(128, 64, 256, 1, 2, std::endian::little,
                                                   chunk::image::Calibration{});
       },
       plane, Operation::kEncode, "InterleavedImage"},
      {"ThreeChannels",
       [] {
         return std::make_unique<InterleavedImage>(64, 32, 384, 3, 2, std::endian::little,
                                                   chunk::image::Calibration{});
       },
       rows, Operation::kEncode, "InterleavedImage"},
      {"PreparedThreeChannels",
       [] { return std::make_unique<InterleavedImage>(64, 32, 384, 3, 2, std::endian::little, CameraCalibration()); },
       rows, Operation::kPrepareAndEncode, "InterleavedImage"},
  };
}

class VerifyBeforeStoring
    : public ::testing::TestWithParam<std::tuple<ChunkCase, void (*)(std::span<uint8_t>)>> {};

TEST_P(VerifyBeforeStoring, StreamThatDoesNotDecodeBackIsReplacedByZstd) {
  const auto& [c, damage] = GetParam();
  const auto chunk = c.make();
  // What a restore must give: the source, or the prepared image.
  const std::string expected = c.operation == test::Operation::kEncode
                                   ? c.bytes
                                   : test::Run(*chunk, c.bytes, test::Operation::kPrepare).bytes;
  ASSERT_EQ(test::Run(*chunk, c.bytes, c.operation).chunk->codec, Codec::Nivra) << "the case must suit the codec";

  test::LogRecorder log;
  const DamagedStreams damaged(damage);
  const test::Written written = test::Run(*chunk, c.bytes, c.operation);
  EXPECT_EQ(written.chunk->codec, Codec::Zstd);
  EXPECT_TRUE(test::Decode(*written.chunk, written.bytes).bytes == expected);
  EXPECT_EQ(log.Count(std::string("error: ") + c.kind + " chunk at offset 0: Nivra encoder error: its output"), 1u)
      << ::testing::PrintToString(log.Messages());
}

INSTANTIATE_TEST_SUITE_P(Chunks, VerifyBeforeStoring,
                         ::testing::Combine(::testing::ValuesIn(ChunkCases()),
                                            ::testing::Values(&FlipMiddleByte, &BreakSignature)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == &FlipMiddleByte ? "FlippedByte" : "BrokenSignature");
                         });

TEST(VerifyBeforeStoringMemory, ChunkInMemoryNamesItsFileOffset) {
  // A walk that hands a chunk its bytes in memory gives the stream the chunk's offset.
  const std::string bytes = test::CameraBytes(128 * 64, 128);
  const auto bytes_span = std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  chunk::image::SpanIStream in(bytes_span, 4096);
  std::ostringstream out;
  test::LogRecorder log;
  const DamagedStreams damaged(&FlipMiddleByte);
  const auto written =
      chunk::Image(128, 64, 2, std::endian::little, chunk::image::Calibration{}).EncodeStream(in, out);
  EXPECT_EQ(written->codec, Codec::Zstd);
  EXPECT_TRUE(test::Decode(*written, out.str()).bytes == bytes);
  EXPECT_TRUE(log.Contains("error: Image chunk at offset 4096: ")) << ::testing::PrintToString(log.Messages());
}

TEST(VerifyBeforeStoringFile, CompressStillSucceedsWithTheRightBytes) {
  test::TempDir dir;
  const std::string pixels = test::CameraBytes(256 * 128, 256);
  const uint64_t strip = 1000;
  const std::string tiff = test::TiffBytes(std::endian::little, false,
                                           {test::StripDirectory(256, 128, 1, strip, pixels.size(), false)}, 8, strip,
                                           pixels);
  const auto source = dir / "camera.tif";
  test::WriteFile(source, tiff);
  const auto compressed = dir / "camera.tif.nivra";
  const auto restored = dir / "restored.tif";

  test::LogRecorder log;
  {
    const DamagedStreams damaged(&FlipMiddleByte);
    ASSERT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);
  }
  EXPECT_TRUE(log.Contains("error: Image chunk at offset " + std::to_string(strip) + ": "));
  const Metadata metadata = Metadata::DeserializeFromFile(compressed);
  ASSERT_EQ(metadata.chunks.size(), 2u);  // directory, then the plane up to the end
  EXPECT_EQ(metadata.chunks[1]->codec, Codec::Zstd);
  ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(restored) == tiff);
}

// Prepared images edited afterwards (header pixels kept) and raw data carrying a forged
// header: compressing never changes a value.
class NeverAWrongValue : public ::testing::TestWithParam<double> {};

TEST_P(NeverAWrongValue, EditedPreparedAndForgedImagesRestoreExactly) {
  namespace nv = Brimlake::Nivra;
  const double edited = GetParam();  // share of pixels changed after preparing; below 0: no preparing at all
  constexpr uint32_t kSide = 512;
  std::vector<uint16_t> pixels = test::CameraPixels(size_t{kSide} * kSide, kSide);
  const nv::MonochromeHeader header(77, 1.0F, std::make_shared<nv::ExtendedAnscombeParameters>(2.0F, 64.0F, 2.0F, 4095));
  if (edited >= 0) nv::replace_noise(pixels.data(), pixels.size(), *header.parameters(), 1.0F, 77);
  header.Embed(pixels);
  std::mt19937 random(5);
  for (size_t i = header.PixelCount(); i < pixels.size(); ++i) {
    if (std::uniform_real_distribution<double>(0, 1)(random) < edited) pixels[i] = static_cast<uint16_t>(pixels[i] + 1);
  }
  const std::string plane = test::PixelBytes(pixels, std::endian::little);
  const std::string tiff = test::TiffBytes(std::endian::little, false,
                                           {test::StripDirectory(kSide, kSide, 1, 1000, plane.size(), false)}, 8,
                                           1000, plane);
  test::TempDir dir;
  test::WriteFile(dir / "image.tif", tiff);
  ASSERT_EQ(TarnCompressFile((dir / "image.tif").c_str(), (dir / "image.nivra").c_str(), nullptr), kTarnStatusOk);
  ASSERT_EQ(TarnDecompressFile((dir / "image.nivra").c_str(), (dir / "restored.tif").c_str(), nullptr),
            kTarnStatusOk);
  EXPECT_TRUE(test::ReadFile(dir / "restored.tif") == tiff);
}

INSTANTIATE_TEST_SUITE_P(EditedShares, NeverAWrongValue, ::testing::Values(0.0, 0.01, 0.05, 0.20, 1.0, -1.0),
                         [](const auto& info) {
                           return info.param < 0 ? std::string("ForgedHeaderOnRawData")
                                                 : "Edited" + std::to_string(static_cast<int>(info.param * 100)) +
                                                       "Percent";
                         });

}  // namespace
}  // namespace tarn
