// Sizes, rates and durations written for people.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::cli {

std::string HumanSize(uint64_t bytes);     // "1.5 MiB"
std::string HumanDuration(double seconds);  // "0.4 s", "2:05", "1:02:05"
std::string Count(uint64_t count, const char* noun);  // "1 file", "3 files"

}  // namespace tarn::cli
