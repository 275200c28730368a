// Any bytes: the ND2 parser refuses them or returns frames inside the input
// that do not overlap.
#include <cstdlib>

#include "tarn/file/metadata/readers/nd2_reader.hpp"
#include "tarn/logger.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (tarn::Logger()->set_level(spdlog::level::off), true);
  (void)quiet;
  tarn::metadata::MemoryByteSource source({data, size});
  try {
    const auto frames = tarn::metadata::nd2::FindFrames(source);
    uint64_t previous_end = 0;
    for (const auto& frame : frames) {
      if (frame.offset < previous_end || frame.length == 0 || frame.length > size - frame.offset ||
          frame.offset > size || uint64_t{frame.width_bytes} * frame.height != frame.length) {
        std::abort();
      }
      previous_end = frame.offset + frame.length;
    }
  } catch (const tarn::metadata::nd2::NotCompatible&) {
  }
  return 0;
}
