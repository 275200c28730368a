// The files a command line names, folders walked, each with the output it will write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"

namespace tarn::cli {

struct Job {
  std::string source;                                // as the user wrote it or the walk found it
  std::optional<std::filesystem::path> destination;  // none for test and info
  bool create_parent = false;                        // a mirrored sub-folder below -o
  uint64_t size = 0;                                 // of the source, for progress
  std::optional<std::string> refusal;                // why this input is not worked on
};

// One job per input, in order; a folder given with -r contributes its files sorted by path.
// Inputs that cannot be worked on (missing, a folder without -r, an unknown suffix, an
// output another input of the batch also writes) carry a refusal.
std::vector<Job> PlanJobs(const Arguments& arguments);

// True for names ending in ".nivra" in any case.
bool HasCompressedSuffix(const std::filesystem::path& path);

}  // namespace tarn::cli
