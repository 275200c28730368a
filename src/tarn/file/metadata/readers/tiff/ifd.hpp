// Camera information of one TIFF directory (make, model, EXIF ISO), used for calibration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <tiffio.h>

namespace tarn::metadata {

struct Exif {
  std::optional<uint32_t> iso;

  // ISOSpeed, else the first PhotographicSensitivity value.
  static Exif FromCurrentDirectory(TIFF* tiff);
};

struct Ifd {
  std::optional<std::string> make;
  std::optional<std::string> model;
  Exif exif;

  static std::optional<Ifd> FromCurrentDirectory(TIFF* tiff);
};

// Visits the EXIF directory of the current directory and comes back to it.
Exif ReadExifDirectory(TIFF* tiff);

}  // namespace tarn::metadata
