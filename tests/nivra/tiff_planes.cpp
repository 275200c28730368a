#include "tiff_planes.hpp"

#include <tiffio.h>

#include <algorithm>

namespace nivra_test {
namespace {

bool ReadPlane(TIFF* tiff, Image& image) {
  uint16_t bits = 0, samples = 1, planar = PLANARCONFIG_CONTIG;
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits) || bits != 16) return false;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  if (samples != 1 || TIFFIsTiled(tiff)) return false;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  if (width == 0 || height == 0 || TIFFScanlineSize(tiff) != static_cast<tmsize_t>(width) * 2) return false;
  image.width = width;
  image.height = height;
  image.pixels.assign(std::size_t{width} * height, 0);
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tiff, image.pixels.data() + std::size_t{y} * width, y) < 0) return false;
  }
  return true;
}

}  // namespace

std::vector<Image> ReadTiffPlanes(const std::filesystem::path& folder) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string ext = entry.path().extension().string();
    if (ext == ".tif" || ext == ".tiff") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<Image> images;
  for (const auto& path : files) {
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) continue;
    Image image;
    image.name = path.filename().string();
    if (ReadPlane(tiff, image)) images.push_back(std::move(image));
    TIFFClose(tiff);
  }
  return images;
}

}  // namespace nivra_test
