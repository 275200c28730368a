// Clearing outputs that interrupted operations left behind (a killed process, a crash,
// a power loss), in one folder, without ever touching a file that may still be written.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tarn {

struct RemovedLeftover {
  std::filesystem::path path;
  uint64_t size = 0;
};

// An output of an earlier version (no writer recorded) must have been left alone this long.
inline constexpr auto kUnownedLeftoverAge = std::chrono::hours(1);

// Removes the temporaries (temporary_name.hpp) directly in `folder` whose writer is
// proven gone (util::LivenessOf), and those without a recorded writer that no process
// has open (as far as /proc shows) and that have not changed for kUnownedLeftoverAge.
// Throws std::filesystem::filesystem_error when the folder cannot be read; a file that
// cannot be removed is left for a later sweep.
std::vector<RemovedLeftover> RemoveLeftovers(const std::filesystem::path& folder);

}  // namespace tarn
