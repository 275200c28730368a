// Image sizes are 32-bit quantities for the codec and in older metadata:
// larger images are refused, and readers describe them as unspecified data.
#pragma once

#include <cstdint>
#include <limits>

namespace tarn::chunk::image {

inline constexpr uint64_t kMaxImageBytes = std::numeric_limits<uint32_t>::max();

// Throws std::invalid_argument when decoded_length exceeds kMaxImageBytes.
void CheckImageLength(uint64_t decoded_length);

}  // namespace tarn::chunk::image
