// Our parser of modern (version 2.x and 3.x) ND2 files: the signature chunk,
// the chunk map at the end of the file and the image attributes, leading to
// the byte ranges of the uncompressed frames.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tarn/file/metadata/readers/byte_source.hpp"

namespace tarn::metadata::nd2 {

// Pixels of one frame: `height` rows of `width_bytes` bytes (padding included),
// each pixel `components` interleaved little-endian samples.
struct Frame {
  uint64_t index = 0;   // N of "ImageDataSeq|N!"
  uint64_t offset = 0;  // first pixel byte in the file
  uint64_t length = 0;  // width_bytes x height
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t width_bytes = 0;
  uint16_t components = 0;
  uint16_t bytes_per_component = 0;

  bool operator==(const Frame&) const = default;
};

// Thrown for every file whose frames we cannot describe with certainty.
class NotCompatible : public std::runtime_error {
 public:
  NotCompatible() : std::runtime_error("File is not Nivra compatible.") {}
};

// The frames sorted by offset, none overlapping another or the end of the file.
// Throws NotCompatible (after logging the reason) for legacy or damaged files,
// compressed frames, bit depths other than 8 and 16, and attributes that
// disagree with the chunk sizes.
std::vector<Frame> FindFrames(ByteSource& source);

}  // namespace tarn::metadata::nd2
