// Image chunks of TIFF directories: main directories, their sub-directories and calibration.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <tiffio.h>

#include "nivra/nivra.hpp"
#include "tarn/file/metadata/chunk/image/calibration.hpp"
#include "tarn/file/metadata/chunk_map.hpp"
#include "tarn/file/metadata/readers/tiff/ifd.hpp"

namespace tarn::metadata {

// Compression value of strips that already hold Nivra output.
inline constexpr uint16_t kCompressionNivra = 48124;

// Adds the chunks of the current directory; `index` counts main directories from 1.
void ProcessIFD(TIFF* tiff, ChunkMap& chunks, uint32_t index);

// Offset 0 and no chunk when the directory holds no image this library can take.
std::pair<uint64_t, std::unique_ptr<Chunk>> ReadImageFromDirectory(TIFF* tiff, const Ifd& ifd);

// Images of the SubIFDs of the current directory, with the parent's camera information.
ChunkMap ReadImagesFromSubDirectories(TIFF* tiff, const Ifd& parent);

chunk::image::Calibration ReadCalibrationFromDirectory(TIFF* tiff, const Ifd& ifd);

std::optional<Brimlake::Nivra::ColorFilterArray> ReadColorFilterArrayFromDirectory(TIFF* tiff);

// "[0, 1, 1, 3]"
std::string ToString(const std::vector<uint8_t>& bytes);

}  // namespace tarn::metadata
