// Fuzzed TIFF LZW strips: decoding either refuses them (FormatError) or gives bytes and
// clear positions that the encoder turns into a strip decoding to the same again.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tarn/codecs/tiff_lzw.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn::codecs::lzw;
  constexpr size_t kLimit = size_t{1} << 22;
  Decoded decoded;
  try {
    decoded = Decode(std::span(data, size), kLimit);
  } catch (const FormatError&) {
    return 0;
  }
  const std::vector<uint8_t> again = Encode(decoded.bytes, decoded.clears);
  const Decoded twice = Decode(again, kLimit);
  if (twice.bytes != decoded.bytes || twice.clears != decoded.clears || !twice.eoi || twice.end != again.size()) {
    std::abort();
  }
  return 0;
}
