// Flags that steer destination naming, overwriting and directory creation.
#pragma once

#include <cstdint>

namespace tarn {

enum class Options : uint8_t {
  None = 0,
  // Compressing writes exactly the given destination instead of appending ".nivra".
  KeepDestinationName = 2,
  // An existing destination file may be replaced (never the source itself).
  Overwrite = 4,
  // Missing parent directories of the destination are created.
  CreateDirectories = 8,
  // Compressing writes only forms that readers of container version 4 know.
  Version4Forms = 16,
};

constexpr Options operator|(Options a, Options b) {
  return static_cast<Options>(static_cast<uint8_t>(a) | static_cast<uint8_t>(b));
}

constexpr Options operator&(Options a, Options b) {
  return static_cast<Options>(static_cast<uint8_t>(a) & static_cast<uint8_t>(b));
}

constexpr bool IsOptionSet(Options options, Options flag) { return (options & flag) != Options::None; }

}  // namespace tarn
