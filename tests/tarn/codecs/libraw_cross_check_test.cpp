// Our lossless JPEG decoder against an independent one: LibRaw reads a DNG whose raw tiles
// our encoder wrote, and its raw pixels must equal what our decoder makes of each tile.
#include <gtest/gtest.h>

#include <libraw/libraw.h>

#include "readers/coded_tiff_writer.hpp"
#include "tarn/codecs/lossless_jpeg.hpp"
#include "test_util.hpp"

namespace tarn::test {
namespace {

struct LibRawHandle {
  libraw_data_t* data = libraw_init(0);
  ~LibRawHandle() { libraw_close(data); }
};

// The tiles' streams as the file holds them, in tile order.
std::vector<std::vector<uint8_t>> RawTiles(const std::filesystem::path& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  std::vector<std::vector<uint8_t>> tiles;
  for (uint32_t t = 0; t < TIFFNumberOfTiles(tiff); ++t) {
    std::vector<uint8_t> bytes;
    const uint64_t* counts = nullptr;
    TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &counts);
    bytes.resize(counts[t]);
    TIFFReadRawTile(tiff, t, bytes.data(), static_cast<tmsize_t>(bytes.size()));
    tiles.push_back(std::move(bytes));
  }
  TIFFClose(tiff);
  return tiles;
}

// One-component frames: LibRaw places the samples of multi-component frames and predicts
// the first line after a restart (predictors other than 1) differently from T.81.
TEST(LibRawCrossCheck, RawPixelsEqualOurDecodedTiles) {
  const JpegDng kDngs[] = {{256, 128, 64, 1, 14, 6, 0, JpegTables::kEveryCategory},
                           {256, 128, 128, 1, 12, 1, 8, JpegTables::kOptimal},
                           {192, 128, 64, 1, 16, 7, 0, JpegTables::kOptimal}};
  for (const JpegDng& dng : kDngs) {
    TempDir folder;
    const auto path = folder / "raw.dng";
    WriteJpegDng(path, dng);
    LibRawHandle libraw;
    ASSERT_EQ(libraw_open_file(libraw.data, path.c_str()), LIBRAW_SUCCESS);
    ASSERT_EQ(libraw_unpack(libraw.data), LIBRAW_SUCCESS);
    const libraw_rawdata_t& raw = libraw.data->rawdata;
    ASSERT_NE(raw.raw_image, nullptr);
    ASSERT_EQ(raw.sizes.raw_width, dng.width);
    ASSERT_EQ(raw.sizes.raw_height, dng.height);
    const uint32_t across = dng.width / dng.tile;
    const std::vector<std::vector<uint8_t>> tiles = RawTiles(path);
    size_t compared = 0;
    for (size_t t = 0; t < tiles.size(); ++t) {
      const std::vector<uint16_t> ours = codecs::ljpeg::Decode(tiles[t]).samples;
      ASSERT_EQ(ours.size(), size_t{dng.tile} * dng.tile);
      const size_t left = (t % across) * dng.tile;
      const size_t top = (t / across) * dng.tile;
      for (size_t y = 0; y < dng.tile; ++y) {
        for (size_t x = 0; x < dng.tile; ++x) {
          const uint16_t theirs = raw.raw_image[(top + y) * raw.sizes.raw_pitch / 2 + left + x];
          if (theirs != ours[y * dng.tile + x]) {
            FAIL() << "tile " << t << " pixel " << x << "," << y << ": LibRaw " << theirs << ", ours "
                   << ours[y * dng.tile + x];
          }
          ++compared;
        }
      }
    }
    EXPECT_EQ(compared, size_t{dng.width} * dng.height);
  }
}

}  // namespace
}  // namespace tarn::test
