// Test TIFFs whose strips or tiles are coded: LZW and PackBits written by libtiff, lossless
// JPEG tiles (a DNG raw directory) written by our encoder with tables of several shapes.
#pragma once

#include <cstdint>
#include <cstring>
#include <algorithm>
#include <array>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

#include <tiffio.h>

#include "tarn/codecs/lossless_jpeg.hpp"

namespace tarn::test {

struct CodedPage {
  uint32_t width = 40;
  uint32_t height = 24;
  uint16_t bits = 16;
  uint16_t samples = 1;
  uint16_t compression = COMPRESSION_LZW;
  uint16_t predictor = 1;
  bool tiled = false;
  uint32_t rows_per_strip = 5;
};

// Smooth pixels with a little noise (16-bit), or runs and ramps (8-bit).
inline std::vector<uint8_t> SmoothPixels(uint32_t width, uint32_t height, uint16_t bits, uint16_t samples,
                                         uint32_t seed) {
  std::mt19937 random(seed);
  const size_t values = size_t{width} * height * samples;
  std::vector<uint8_t> bytes(values * (bits / 8));
  for (size_t i = 0; i < values; ++i) {
    const size_t x = (i / samples) % width;
    const size_t y = i / samples / width;
    if (bits == 16) {
      const auto value = static_cast<uint16_t>(1000 + x * 37 + y * 11 + (i % samples) * 300 + random() % 8);
      std::memcpy(bytes.data() + 2 * i, &value, 2);
    } else {
      bytes[i] = static_cast<uint8_t>((x / 5) * 9 + (y / 3) * 4 + (i % samples) * 60);
    }
  }
  return bytes;
}

// "w" little-endian, "wb" big-endian; pixels in host order, as libtiff takes them.
inline void WriteCodedTiff(const std::filesystem::path& path, const CodedPage& page, const char* mode = "w") {
  TIFF* tiff = TIFFOpen(path.string().c_str(), mode);
  if (tiff == nullptr) throw std::runtime_error("cannot write test TIFF");
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bits);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samples);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  if (page.predictor != 1) TIFFSetField(tiff, TIFFTAG_PREDICTOR, page.predictor);
  const size_t sample_bytes = page.bits / 8;
  if (page.tiled) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 64);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, 64);
    for (uint32_t t = 0; t < TIFFNumberOfTiles(tiff); ++t) {
      std::vector<uint8_t> tile = SmoothPixels(64, 64, page.bits, page.samples, t + 1);
      TIFFWriteEncodedTile(tiff, t, tile.data(), static_cast<tmsize_t>(tile.size()));
    }
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, page.rows_per_strip);
    const std::vector<uint8_t> pixels = SmoothPixels(page.width, page.height, page.bits, page.samples, 1);
    const size_t row = size_t{page.width} * page.samples * sample_bytes;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tiff); ++s) {
      const size_t first = size_t{s} * page.rows_per_strip;
      const size_t rows = std::min<size_t>(page.rows_per_strip, page.height - first);
      std::vector<uint8_t> strip(pixels.begin() + static_cast<std::ptrdiff_t>(first * row),
                                 pixels.begin() + static_cast<std::ptrdiff_t>((first + rows) * row));
      TIFFWriteEncodedStrip(tiff, s, strip.data(), static_cast<tmsize_t>(strip.size()));
    }
  }
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);
}

enum class JpegTables { kOptimal, kEveryCategory, kPerComponent };

struct JpegDng {
  uint32_t width = 64;
  uint32_t height = 32;
  uint32_t tile = 32;          // square tiles
  uint16_t components = 2;     // per JPEG frame line: tile width / components samples each
  uint8_t precision = 12;
  uint8_t predictor = 1;
  uint16_t restart_lines = 0;  // 0: no restart markers
  JpegTables tables = JpegTables::kOptimal;
};

// Mosaic-like 12-bit samples of one tile.
inline std::vector<uint16_t> TileSamples(const JpegDng& dng, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint16_t> samples(size_t{dng.tile} * dng.tile);
  const uint32_t top = (1u << dng.precision) - 1;
  for (size_t i = 0; i < samples.size(); ++i) {
    const size_t x = i % dng.tile;
    const size_t y = i / dng.tile;
    const uint32_t base = 200 + static_cast<uint32_t>(x * 13 + y * 7) + ((x + y) % 2) * 150;
    samples[i] = static_cast<uint16_t>(std::min<uint32_t>(top, base + random() % 16));
  }
  return samples;
}

inline std::vector<uint8_t> EncodeTile(const JpegDng& dng, const std::vector<uint16_t>& samples) {
  using namespace tarn::codecs::ljpeg;
  Header header;
  header.precision = dng.precision;
  header.width = static_cast<uint16_t>(dng.tile / dng.components);
  header.height = static_cast<uint16_t>(dng.tile);
  for (uint16_t c = 0; c < dng.components; ++c) header.components.push_back({static_cast<uint8_t>(c), 0});
  header.predictor = dng.predictor;
  header.restart_interval = static_cast<uint16_t>(dng.restart_lines * header.width);
  std::array<uint64_t, 17> every;
  every.fill(1);
  const std::array<uint64_t, 17> counts = CategoryCounts(header, samples);
  switch (dng.tables) {
    case JpegTables::kOptimal: header.tables[0] = OptimalTable(counts); break;
    case JpegTables::kEveryCategory: header.tables[0] = OptimalTable(every); break;
    case JpegTables::kPerComponent:
      header.tables[0] = OptimalTable(counts);
      header.tables[1] = OptimalTable(every);
      for (size_t c = 0; c < header.components.size(); ++c) header.components[c].table = static_cast<uint8_t>(c % 2);
      break;
  }
  return Encode(WriteHeader(header), samples);
}

// A DNG-like file: one raw directory of lossless JPEG tiles. Returns the tiles' samples.
inline std::vector<std::vector<uint16_t>> WriteJpegDng(const std::filesystem::path& path, const JpegDng& dng) {
  TIFF* tiff = TIFFOpen(path.string().c_str(), "w");
  if (tiff == nullptr) throw std::runtime_error("cannot write test DNG");
  static const uint8_t kVersion[4] = {1, 4, 0, 0};
  static const uint16_t kRepeat[2] = {2, 2};
  static const uint8_t kPattern[4] = {0, 1, 1, 2};
  TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, dng.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, dng.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, 32803);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_MAKE, "Tarn");
  TIFFSetField(tiff, TIFFTAG_MODEL, "Test Camera");
  TIFFSetField(tiff, TIFFTAG_DNGVERSION, kVersion);
  TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Tarn Test Camera");
  TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, kRepeat);
  TIFFSetField(tiff, TIFFTAG_CFAPATTERN, 4, kPattern);
  TIFFSetField(tiff, TIFFTAG_TILEWIDTH, dng.tile);
  TIFFSetField(tiff, TIFFTAG_TILELENGTH, dng.tile);
  std::vector<std::vector<uint16_t>> tiles;
  for (uint32_t t = 0; t < TIFFNumberOfTiles(tiff); ++t) {
    tiles.push_back(TileSamples(dng, t + 1));
    std::vector<uint8_t> stream = EncodeTile(dng, tiles.back());
    TIFFWriteRawTile(tiff, t, stream.data(), static_cast<tmsize_t>(stream.size()));
  }
  TIFFWriteDirectory(tiff);
  TIFFClose(tiff);
  return tiles;
}

}  // namespace tarn::test
