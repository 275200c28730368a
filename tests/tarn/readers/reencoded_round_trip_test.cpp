// Coded strips and tiles end to end: LZW and PackBits from libtiff, lossless JPEG tiles
// from our encoder, and the shared samples of those codings, all restore byte for byte;
// what cannot be coded again exactly stays as it is; --format 4 keeps version 4.
#include <gtest/gtest.h>

#include <sstream>

#include "coded_tiff_writer.hpp"
#include "log_recorder.hpp"
#include "tarn/codecs/tiff_lzw.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/file/metadata/chunk/reencoded_image.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/prepare_report.hpp"
#include "nivra/nivra.hpp"
#include "tarn/tarn.h"
#include "tarn/util/json.hpp"
#include "test_util.hpp"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

struct Packed {
  bool identical = false;
  size_t reencoded = 0;  // re-encoded chunks in the compressed file
  size_t images = 0;     // plain image chunks
  uint32_t footer_version = 0;
  uint64_t size = 0;
};

Packed PackAndRestore(const fs::path& source, uint32_t container_version = 0) {
  TempDir folder;
  const fs::path compressed = folder / "packed.nivra";
  const fs::path restored = folder / "restored";
  Packed packed;
  EXPECT_EQ(TarnCompressFileInVersion(source.c_str(), compressed.c_str(), nullptr, container_version), kTarnStatusOk);
  EXPECT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  packed.identical = fs::exists(restored) && ReadFile(restored) == ReadFile(source);
  const std::string bytes = ReadFile(compressed);
  packed.size = bytes.size();
  std::memcpy(&packed.footer_version, bytes.data() + bytes.size() - 12, 4);
  for (const auto& chunk : Metadata::DeserializeFromFile(compressed).chunks) {
    if (dynamic_cast<const chunk::ReencodedImage*>(chunk.get()) != nullptr) ++packed.reencoded;
    if (dynamic_cast<const chunk::Image*>(chunk.get()) != nullptr) ++packed.images;
  }
  return packed;
}

struct CodedCase {
  const char* name;
  CodedPage page;
  const char* mode;
};

class CodedTiffRoundTrip : public testing::TestWithParam<CodedCase> {};

TEST_P(CodedTiffRoundTrip, RestoresByteForByteWithReencodedChunks) {
  TempDir folder;
  const fs::path source = folder / "coded.tif";
  WriteCodedTiff(source, GetParam().page, GetParam().mode);
  const Packed packed = PackAndRestore(source);
  EXPECT_TRUE(packed.identical);
  if (GetParam().page.compression == COMPRESSION_NONE) {
    EXPECT_EQ(packed.reencoded, 0u);
    EXPECT_GT(packed.images, 0u);
    EXPECT_EQ(packed.footer_version, 4u);
  } else {
    EXPECT_GT(packed.reencoded, 0u);
    EXPECT_EQ(packed.footer_version, 5u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codings, CodedTiffRoundTrip,
    testing::Values(CodedCase{"Lzw16Bit", {40, 24, 16, 1, COMPRESSION_LZW, 1, false, 5}, "w"},
                    CodedCase{"Lzw16BitPredictorBigEndian", {40, 24, 16, 1, COMPRESSION_LZW, 2, false, 7}, "wb"},
                    CodedCase{"Lzw8BitRgbPredictor", {30, 20, 8, 3, COMPRESSION_LZW, 2, false, 1}, "w"},
                    CodedCase{"LzwTableFills", {512, 256, 16, 1, COMPRESSION_LZW, 1, false, 256}, "w"},
                    CodedCase{"LzwTiles", {100, 70, 16, 1, COMPRESSION_LZW, 2, true, 0}, "w"},
                    CodedCase{"PackBits8Bit", {64, 30, 8, 1, COMPRESSION_PACKBITS, 1, false, 4}, "w"},
                    CodedCase{"PackBits16BitTiles", {100, 70, 16, 1, COMPRESSION_PACKBITS, 1, true, 0}, "wb"},
                    CodedCase{"UncompressedTiles", {100, 70, 16, 1, COMPRESSION_NONE, 1, true, 0}, "w"}),
    [](const testing::TestParamInfo<CodedCase>& info) { return info.param.name; });

struct DngCase {
  const char* name;
  JpegDng dng;
};

class LosslessJpegDngRoundTrip : public testing::TestWithParam<DngCase> {};

TEST_P(LosslessJpegDngRoundTrip, EveryTileIsReencodedAndRestored) {
  TempDir folder;
  const fs::path source = folder / "raw.dng";
  const JpegDng& dng = GetParam().dng;
  const size_t tiles = WriteJpegDng(source, dng).size();
  const Packed packed = PackAndRestore(source);
  EXPECT_TRUE(packed.identical);
  EXPECT_EQ(packed.reencoded, tiles);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, LosslessJpegDngRoundTrip,
    testing::Values(DngCase{"TwoComponentsOptimalTable", {128, 64, 64, 2, 12, 1, 0, JpegTables::kOptimal}},
                    DngCase{"OneComponentEveryCategory", {128, 64, 64, 1, 14, 6, 0, JpegTables::kEveryCategory}},
                    DngCase{"FourComponentsTwoTables", {64, 64, 32, 4, 16, 4, 0, JpegTables::kPerComponent}},
                    DngCase{"RestartMarkers", {128, 64, 64, 2, 12, 1, 8, JpegTables::kOptimal}}),
    [](const testing::TestParamInfo<DngCase>& info) { return info.param.name; });

// The Nivra stream versions of a compressed file's image chunks, in file order.
std::vector<unsigned> StreamVersions(const fs::path& compressed) {
  const Metadata metadata = Metadata::DeserializeFromFile(compressed);
  const std::string bytes = ReadFile(compressed);
  std::vector<unsigned> versions;
  uint64_t offset = 0;
  for (const auto& chunk : metadata.chunks) {
    if (chunk->codec == Codec::Nivra) {
      const auto info = Brimlake::Nivra::read_stream_info(reinterpret_cast<const uint8_t*>(bytes.data()) + offset,
                                                          chunk->length);
      versions.push_back(info ? info->version : 0);
    }
    offset += chunk->length;
  }
  return versions;
}

// Readers of version 4 must get a file they know: the same coded file stays version 4,
// and image streams are written in the stream version those readers decode.
TEST(ReencodedContainer, Version4FormsOnly) {
  TempDir folder;
  const fs::path coded = folder / "coded.tif";
  WriteCodedTiff(coded, {40, 24, 16, 1, COMPRESSION_LZW, 2, false, 5});
  const Packed packed = PackAndRestore(coded, 4);
  EXPECT_TRUE(packed.identical);
  EXPECT_EQ(packed.reencoded, 0u);
  EXPECT_EQ(packed.footer_version, 4u);

  const fs::path plain = folder / "plain.tif";
  WriteCodedTiff(plain, {40, 24, 16, 1, COMPRESSION_NONE, 1, false, 24});
  const fs::path newest = folder / "newest.nivra";
  const fs::path version4 = folder / "version4.nivra";
  ASSERT_EQ(TarnCompressFile(plain.c_str(), newest.c_str(), nullptr), kTarnStatusOk);
  ASSERT_EQ(TarnCompressFileInVersion(plain.c_str(), version4.c_str(), nullptr, 4), kTarnStatusOk);
  const std::vector<unsigned> newest_streams = StreamVersions(newest), version4_streams = StreamVersions(version4);
  ASSERT_FALSE(newest_streams.empty());
  EXPECT_EQ(newest_streams, std::vector<unsigned>(newest_streams.size(), Brimlake::Nivra::kStreamVersion));
  EXPECT_EQ(version4_streams, std::vector<unsigned>(newest_streams.size(), 2u));
  const fs::path restored = folder / "restored.tif";
  ASSERT_EQ(TarnDecompressFile(version4.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(ReadFile(restored), ReadFile(plain));
  EXPECT_EQ(TarnCompressFileInVersion(plain.c_str(), (folder / "x.nivra").c_str(), nullptr, 3),
            kTarnStatusParameterOutOfRange);
}

// A re-encoded chunk whose pixels do not give back its source fails with status 7, and a
// block that is not version 5 cannot hold one.
TEST(ReencodedContainer, SourceChecksumAndVersionAreChecked) {
  TempDir folder;
  const fs::path coded = folder / "coded.tif";
  WriteCodedTiff(coded, {40, 24, 16, 1, COMPRESSION_LZW, 1, false, 24});
  const fs::path compressed = folder / "coded.tif.nivra";
  ASSERT_EQ(TarnCompressFile(coded.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);
  const Metadata metadata = Metadata::DeserializeFromFile(compressed);
  const std::string bytes = ReadFile(compressed);
  uint64_t offset = 0;
  for (const auto& chunk : metadata.chunks) {
    if (dynamic_cast<const chunk::ReencodedImage*>(chunk.get()) == nullptr) {
      offset += chunk->length;
      continue;
    }
    Json::Value json = chunk->ToJson();
    EXPECT_THROW(Chunk::FromJson(json, 4), bad_metadata);
    json["source_checksum"] = "0123456789abcdef";
    const std::unique_ptr<Chunk> damaged = Chunk::FromJson(json, 5);
    const std::span<const uint8_t> stored(reinterpret_cast<const uint8_t*>(bytes.data()) + offset, chunk->length);
    chunk::image::SpanIStream in(stored);
    std::ostringstream out;
    try {
      damaged->DecodeStream(in, out);
      ADD_FAILURE() << "a wrong source checksum was not found";
    } catch (const DecodeError& error) {
      EXPECT_EQ(error.status(), kTarnStatusInvalidFileContent);
    }
    return;
  }
  ADD_FAILURE() << "no re-encoded chunk";
}

// Strips another writer coded differently stay as they are, and -v says why.
TEST(ReencodedContainer, StripsThatDoNotCodeAgainStayAsTheyAre) {
  TempDir folder;
  const fs::path source = folder / "odd.tif";
  TIFF* tiff = TIFFOpen(source.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 40);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 24);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 24);
  const std::vector<uint8_t> pixels = SmoothPixels(40, 24, 16, 1, 5);
  // No leading Clear and a byte after EOI: readers take it, our encoder would not write it.
  std::vector<uint8_t> stream = codecs::lzw::Encode(pixels, {});
  stream.push_back(0);
  TIFFWriteRawStrip(tiff, 0, stream.data(), static_cast<tmsize_t>(stream.size()));
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);

  LogRecorder log;
  const Packed packed = PackAndRestore(source);
  EXPECT_TRUE(packed.identical);
  EXPECT_EQ(packed.reencoded, 0u);
  EXPECT_EQ(packed.footer_version, 4u);
  EXPECT_TRUE(log.Contains("kept as it is: 1 bytes follow the EOI of LZW strip 0"));
}

// The shared DNG, GPR and LZW samples come back byte for byte; which ones gain is printed
// by bench/dng.
TEST(ReencodedRealFiles, RestoreByteForByte) {
  const fs::path fixtures = FixturesDir();
  if (fixtures.empty()) GTEST_SKIP() << "shared sample files not found";
  const struct {
    const char* name;
    bool reencoded;
  } kFiles[] = {
      {"dng-blackmagic-pocket4k.dng", false},  // DCT-coded JPEG tiles (SOF1), not lossless JPEG
      {"gpr-gopro-hero6-GOPR0024.gpr", false},  // VC-5 (compression 9)
      {"gpr-gopro-fusion-GPBK7066.gpr", false},
      {"tif-aicsimageio-s_1_t_1_c_1_z_1.ome.tiff", true},  // LZW
      {"tif-exiv2-bug1044.tif", true},                     // LZW with predictor 2
  };
  for (const auto& file : kFiles) {
    SCOPED_TRACE(file.name);
    const Packed packed = PackAndRestore(fixtures / file.name);
    EXPECT_TRUE(packed.identical);
    EXPECT_EQ(packed.reencoded > 0, file.reencoded);
  }
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

namespace nv = Brimlake::Nivra;

// Each tile of a lossless JPEG DNG: its samples, and whether only zeros follow its EOI.
std::vector<std::pair<std::vector<uint16_t>, bool>> DecodedTiles(const fs::path& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  std::vector<std::pair<std::vector<uint16_t>, bool>> tiles;
  const uint64_t* counts = nullptr;
  TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &counts);
  for (uint32_t t = 0; t < TIFFNumberOfTiles(tiff); ++t) {
    std::vector<uint8_t> bytes(counts[t]);
    TIFFReadRawTile(tiff, t, bytes.data(), static_cast<tmsize_t>(bytes.size()));
    codecs::ljpeg::Decoded decoded = codecs::ljpeg::Decode(bytes);
    const bool zeros = std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(decoded.end), bytes.end(),
                                   [](uint8_t byte) { return byte == 0; });
    tiles.emplace_back(std::move(decoded.samples), zeros);
  }
  TIFFClose(tiff);
  return tiles;
}

class PreparedLosslessJpeg : public testing::Test {
 protected:
  void SetUp() override {
    nv::ParameterRegistry::set_parameters(
        "Cam_ISO100", std::make_shared<nv::ExtendedAnscombeParameters>(1.8F, 100.0F, 2.5F, 4095U), "kBayerRG");
  }
  void TearDown() override { nv::ParameterRegistry::clear(); }
  TempDir folder_;
};

// Prepared tiles are lossless JPEG with the same tables and the same length, and such a
// file compresses and restores like any other.
TEST_F(PreparedLosslessJpeg, TilesAreWrittenBackWithTheirTables) {
  const fs::path source = folder_ / "raw.dng";
  const std::vector<std::vector<uint16_t>> original =
      WriteJpegDng(source, {256, 128, 128, 2, 12, 1, 0, JpegTables::kEveryCategory});
  const fs::path prepared = folder_ / "prepared.dng";
  ASSERT_EQ(TarnPrepareFile(source.c_str(), prepared.c_str(), "Cam_ISO100"), kTarnStatusOk);
  EXPECT_EQ(fs::file_size(prepared), fs::file_size(source));
  const auto tiles = DecodedTiles(prepared);
  ASSERT_EQ(tiles.size(), original.size());
  for (size_t t = 0; t < tiles.size(); ++t) {
    EXPECT_NE(tiles[t].first, original[t]);
    EXPECT_TRUE(tiles[t].second);
  }
  const Packed packed = PackAndRestore(prepared);
  EXPECT_TRUE(packed.identical);
  EXPECT_EQ(packed.reencoded, tiles.size());

  // Prepared while compressed: the restore gives prepared tiles of the source's length.
  const fs::path compressed = folder_ / "raw.dng.nivra";
  const fs::path restored = folder_ / "restored.dng";
  tarn::PrepareReport report;
  ASSERT_EQ(tarn::PrepareAndCompressFile(source.c_str(), compressed.c_str(), "Cam_ISO100", nullptr, report),
            kTarnStatusOk);
  EXPECT_EQ(report.prepared, tiles.size());
  ASSERT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(fs::file_size(restored), fs::file_size(source));
  for (const auto& [samples, zeros] : DecodedTiles(restored)) EXPECT_TRUE(zeros);
}

// Tables made for the source's differences only may lack codes the prepared pixels need.
TEST_F(PreparedLosslessJpeg, TablesWithoutEveryCategoryKeepTheImageUnprepared) {
  const fs::path source = folder_ / "raw.dng";
  WriteJpegDng(source, {256, 128, 128, 2, 12, 1, 0, JpegTables::kOptimal});
  const fs::path prepared = folder_ / "prepared.dng";
  LogRecorder log;
  ASSERT_EQ(TarnPrepareFile(source.c_str(), prepared.c_str(), "Cam_ISO100"), kTarnStatusOk);
  EXPECT_EQ(ReadFile(prepared), ReadFile(source));
  EXPECT_TRUE(log.Contains("Huffman tables do not code every difference category"));
}

}  // namespace
}  // namespace tarn::test
