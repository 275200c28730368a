// Codec numbers as stored in the metadata JSON.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarn {

enum class Codec : uint32_t {
  None = 0,
  Nivra = 1,
  Zstd = 2,
  Unknown = 10,
};

// "None", "Nivra", "Zstd", "Unknown"; every other value is "Invalid".
std::string_view CodecName(Codec codec);

}  // namespace tarn
