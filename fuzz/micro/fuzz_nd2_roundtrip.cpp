// Any bytes named .nd2 survive compression and decompression unchanged.
#include "roundtrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarn::fuzz::RoundTrip(data, size, ".nd2");
}
