// `tarn info`: the chunk table of a compressed file.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::cli {

// Prints the table to standard output; returns false (after a message on standard error) on failure.
bool PrintInfo(const std::string& path);

// "1.5 MiB" style sizes for people.
std::string HumanSize(uint64_t bytes);

}  // namespace tarn::cli
