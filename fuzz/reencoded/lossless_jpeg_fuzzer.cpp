// Fuzzed lossless JPEG streams: decoding either refuses them (FormatError) or gives samples
// that our encoder codes, with the stream's own header, into a stream decoding to them again.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tarn/codecs/lossless_jpeg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn::codecs::ljpeg;
  const std::span<const uint8_t> stream(data, size);
  Decoded decoded;
  try {
    decoded = Decode(stream);
  } catch (const FormatError&) {
    return 0;
  }
  std::vector<uint8_t> again;
  try {
    again = Encode(stream.first(decoded.header.size), decoded.samples, decoded.pad_ones);
  } catch (const FormatError&) {
    return 0;  // samples the stream's tables cannot code (its codes came from elsewhere)
  }
  if (Decode(again).samples != decoded.samples) std::abort();
  return 0;
}
