// Test TIFFs written by independent writers: libtiff here, tifffile through Python.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>

#include "test_util.hpp"

namespace tarn::test {

struct TiffPage {
  uint32_t width = 16;
  uint32_t height = 8;
  uint16_t bits = 16;
  uint16_t samples = 1;
  uint16_t compression = COMPRESSION_NONE;
  uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  bool tiled = false;
  std::optional<std::string> make, model, description;
  std::optional<uint16_t> iso;  // PhotographicSensitivity in an EXIF directory
  std::vector<uint8_t> cfa;
  std::vector<float> black;
  std::vector<uint32_t> white;
};

// Writes the pages as main directories ("w8" gives BigTIFF, "wb" big-endian).
inline void WriteTiff(const std::filesystem::path& path, const std::vector<TiffPage>& pages,
                      const char* mode = "w") {
  TIFF* tiff = TIFFOpen(path.string().c_str(), mode);
  if (tiff == nullptr) throw std::runtime_error("cannot write test TIFF");
  uint32_t seed = 1;
  for (const TiffPage& page : pages) {
    uint64_t exif_offset = 0;
    if (page.iso) {
      TIFFCreateEXIFDirectory(tiff);
      const uint16_t iso[1] = {*page.iso};
      TIFFSetField(tiff, EXIFTAG_ISOSPEEDRATINGS, 1, iso);
      TIFFWriteCustomDirectory(tiff, &exif_offset);
      TIFFFreeDirectory(tiff);
      TIFFCreateDirectory(tiff);
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samples);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (page.make) TIFFSetField(tiff, TIFFTAG_MAKE, page.make->c_str());
    if (page.model) TIFFSetField(tiff, TIFFTAG_MODEL, page.model->c_str());
    if (page.description) TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, page.description->c_str());
    if (!page.cfa.empty()) TIFFSetField(tiff, TIFFTAG_CFAPATTERN, static_cast<uint16_t>(page.cfa.size()), page.cfa.data());
    if (!page.black.empty()) TIFFSetField(tiff, TIFFTAG_BLACKLEVEL, static_cast<uint16_t>(page.black.size()), page.black.data());
    if (!page.white.empty()) TIFFSetField(tiff, TIFFTAG_WHITELEVEL, static_cast<uint16_t>(page.white.size()), page.white.data());
    if (page.iso) TIFFSetField(tiff, TIFFTAG_EXIFIFD, exif_offset);
    const size_t row = size_t{page.width} * page.samples * page.bits / 8;
    if (page.tiled) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
      const std::string tile = RandomBytes(16 * 16 * page.samples * page.bits / 8, seed++);
      for (uint32_t t = 0; t < TIFFNumberOfTiles(tiff); ++t) {
        TIFFWriteEncodedTile(tiff, t, const_cast<char*>(tile.data()), static_cast<tmsize_t>(tile.size()));
      }
    } else {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, page.height);
      const std::string pixels = RandomBytes(row * page.height, seed++);
      TIFFWriteEncodedStrip(tiff, 0, const_cast<char*>(pixels.data()), static_cast<tmsize_t>(pixels.size()));
    }
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
}

// Runs a Python script with Debian's interpreter, which has tifffile and numpy.
inline bool HasTifffile() {
  static const bool available =
      std::system("/usr/bin/python3 -c 'import tifffile, numpy' >/dev/null 2>&1") == 0;
  return available;
}

inline void RunPython(const std::filesystem::path& folder, const std::string& script) {
  const auto file = folder / "make.py";
  WriteFile(file, script);
  const std::string command = "cd '" + folder.string() + "' && /usr/bin/python3 make.py";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("python script failed: " + script);
}

}  // namespace tarn::test
