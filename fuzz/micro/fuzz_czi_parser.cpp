// Any bytes: the CZI parser refuses them or returns planes inside the input
// that do not overlap.
#include <cstdlib>
#include <stdexcept>

#include "tarn/file/metadata/readers/czi_directory.hpp"
#include "tarn/logger.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (tarn::Logger()->set_level(spdlog::level::off), true);
  (void)quiet;
  tarn::metadata::MemoryByteSource source({data, size});
  try {
    const auto planes = tarn::metadata::czi::FindPlanes(source);
    uint64_t previous_end = 0;
    for (const auto& plane : planes) {
      const auto layout = tarn::metadata::czi::LayoutOf(static_cast<int32_t>(plane.pixel_type));
      if (!layout || plane.offset < previous_end || plane.offset > size || plane.length > size - plane.offset ||
          plane.length != uint64_t{plane.width} * plane.height * layout->BytesPerPixel() || plane.length == 0) {
        std::abort();
      }
      previous_end = plane.offset + plane.length;
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
