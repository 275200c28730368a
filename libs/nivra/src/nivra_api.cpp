// The entry points of the codec: argument checks, and no exception ever
// crosses into the caller. The C functions run serially.
#include <limits>
#include <new>

#include "codec/format.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {
namespace {

template <class F>
bm_status Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return BM_MEMORY_ALLOCATION_FAILED;
  } catch (const NivraError& error) {
    return error.status();
  } catch (...) {
    return BM_UNKNOWN_ERROR;
  }
}

void Serial(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = 0; i < count; ++i) task(i);
}

// An empty function runs serially.
const ParallelFor& OrSerial(const ParallelFor& parallel_for) {
  static const ParallelFor serial = Serial;
  return parallel_for ? parallel_for : serial;
}

}  // namespace

bm_status encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                 int32_t* destination_length, const ParallelFor& parallel_for) {
  return encode(pixels, width, height, destination, destination_length, parallel_for, EncodeOptions{});
}

bm_status encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                 int32_t* destination_length, const ParallelFor& parallel_for, const EncodeOptions& options) {
  if (pixels == nullptr || destination == nullptr || destination_length == nullptr || width <= 0 ||
      height <= 0 || *destination_length < 0 ||
      int64_t{width} * height > std::numeric_limits<int32_t>::max() ||
      (options.stream_version != kStreamVersion && options.stream_version != codec::kVersion2)) {
    return BM_PARAMETER_OUT_OF_RANGE;
  }
  codec::EncodeOptions coding;
  coding.version = static_cast<uint8_t>(options.stream_version);
  return Guarded([&] {
    return codec::Encode(pixels, static_cast<uint32_t>(width), static_cast<uint32_t>(height), destination,
                         destination_length, OrSerial(parallel_for), coding);
  });
}

bm_status decode(const uint8_t* source, int32_t source_size, uint16_t* destination, int32_t pixel_count,
                 const ParallelFor& parallel_for) {
  if (source == nullptr || destination == nullptr || source_size <= 0 || pixel_count <= 0) {
    return BM_INVALID_FILE_CONTENT;
  }
  return Guarded([&] {
    return codec::Decode(source, static_cast<std::size_t>(source_size), destination,
                         static_cast<std::size_t>(pixel_count), OrSerial(parallel_for));
  });
}

bm_status verify(const uint8_t* source, int32_t source_size, const uint16_t* pixels, int32_t pixel_count,
                 const ParallelFor& parallel_for, bool& same_pixels) {
  same_pixels = false;
  if (source == nullptr || pixels == nullptr || source_size <= 0 || pixel_count <= 0) return BM_INVALID_FILE_CONTENT;
  return Guarded([&] {
    return codec::Verify(source, static_cast<std::size_t>(source_size), pixels, static_cast<std::size_t>(pixel_count),
                         OrSerial(parallel_for), same_pixels);
  });
}

}  // namespace Brimlake::Nivra

extern "C" bm_status nivra_encode(const uint16_t* pixels, int32_t width, int32_t height, uint8_t* destination,
                                  int32_t* destination_length) {
  return Brimlake::Nivra::encode(pixels, width, height, destination, destination_length, {});
}

extern "C" bm_status nivra_decode(const uint8_t* source, int32_t source_size, uint16_t* destination,
                                  int32_t pixel_count) {
  return Brimlake::Nivra::decode(source, source_size, destination, pixel_count, {});
}
