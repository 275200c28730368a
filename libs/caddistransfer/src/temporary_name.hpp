// Names for work in progress. Every temporary file this library creates, in a storage
// or in a download's target folder, is hidden, sits beside its final place and reads
//   .caddis-part-<machine>-<pid>-<random>-<final name>
// so a later run can tell its own leftovers from anything else, and whether the process
// that left one is gone.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace caddistransfer {

inline constexpr std::string_view kTemporaryPrefix = ".caddis-part-";
// A leftover of another machine older than this is removed: its process cannot be checked.
inline constexpr auto kLeftoverAge = std::chrono::hours(24);

// Random lowercase hex digits.
std::string RandomHex(std::size_t digits);

// A fresh temporary name for `final_name` (a file name, no folders).
std::string TemporaryName(const std::string& final_name);

// True for a name TemporaryName made.
bool IsTemporaryName(const std::string& name);

// A temporary of this library may be removed when it was made on this machine by a
// process that no longer runs (its pid is free, or held by a process that started after
// the temporary was last written), or, made elsewhere, when it is older than kLeftoverAge.
bool IsStaleTemporary(const std::string& name, std::chrono::system_clock::time_point modified,
                      std::chrono::system_clock::time_point now);

}  // namespace caddistransfer
