#include "tarn/file/metadata/readers/tiff/ifd.hpp"

#include <stdexcept>

namespace tarn::metadata {
namespace {

std::optional<std::string> ReadText(TIFF* tiff, uint32_t tag) {
  const char* text = nullptr;
  if (TIFFGetFieldDefaulted(tiff, tag, &text) != 1 || text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace

Exif Exif::FromCurrentDirectory(TIFF* tiff) {
  Exif exif;
  uint32_t iso_speed = 0;
  if (TIFFGetFieldDefaulted(tiff, EXIFTAG_ISOSPEED, &iso_speed) == 1) {
    exif.iso = iso_speed;
    return exif;
  }
  uint16_t count = 0;
  const uint16_t* sensitivity = nullptr;
  if (TIFFGetFieldDefaulted(tiff, EXIFTAG_ISOSPEEDRATINGS, &count, &sensitivity) == 1 && count > 0 &&
      sensitivity != nullptr) {
    exif.iso = sensitivity[0];
  }
  return exif;
}

Exif ReadExifDirectory(TIFF* tiff) {
  uint64_t offset = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_EXIFIFD, &offset) != 1) return {};
  const tdir_t current = TIFFCurrentDirectory(tiff);
  if (!TIFFReadEXIFDirectory(tiff, offset)) throw std::runtime_error("Failed ReadExifDirectory");
  const Exif exif = Exif::FromCurrentDirectory(tiff);
  if (!TIFFSetDirectory(tiff, current)) throw std::runtime_error("Failed SetDirectory");
  return exif;
}

std::optional<Ifd> Ifd::FromCurrentDirectory(TIFF* tiff) {
  Ifd ifd;
  ifd.make = ReadText(tiff, TIFFTAG_MAKE);
  ifd.model = ReadText(tiff, TIFFTAG_MODEL);
  ifd.exif = ReadExifDirectory(tiff);
  return ifd;
}

}  // namespace tarn::metadata
