// The C entry points of the codec: argument checks, and no exception ever
// crosses into the caller.
#include <limits>
#include <new>

#include "codec/format.hpp"
#include "nivra/nivra.hpp"

namespace {

template <class F>
bm_status Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return BM_MEMORY_ALLOCATION_FAILED;
  } catch (const Brimlake::Nivra::NivraError& error) {
    return error.status();
  } catch (...) {
    return BM_UNKNOWN_ERROR;
  }
}

}  // namespace

extern "C" bm_status nivra_encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                                  int32_t* destination_length) {
  if (pixels == nullptr || destination == nullptr || destination_length == nullptr || width <= 0 ||
      height <= 0 || *destination_length < 0 ||
      int64_t{width} * height > std::numeric_limits<int32_t>::max()) {
    return BM_PARAMETER_OUT_OF_RANGE;
  }
  return Guarded([&] {
    return Brimlake::Nivra::codec::Encode(pixels, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                          destination, destination_length);
  });
}

extern "C" bm_status nivra_decode(const uint8_t* source, int32_t source_size, uint16_t* destination,
                                  int32_t pixel_count) {
  if (source == nullptr || destination == nullptr || source_size <= 0 || pixel_count <= 0) {
    return BM_INVALID_FILE_CONTENT;
  }
  return Guarded([&] {
    return Brimlake::Nivra::codec::Decode(source, static_cast<std::size_t>(source_size), destination,
                                          static_cast<std::size_t>(pixel_count));
  });
}
