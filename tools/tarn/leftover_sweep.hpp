// Before a batch writes into folders, it clears what interrupted runs left there:
// unfinished outputs whose writer is proven gone (TarnRemoveLeftovers). Each folder
// where something went gets a line; with -v every removed file.
#pragma once

#include <cstdint>
#include <vector>

#include "console.hpp"
#include "jobs.hpp"

namespace tarn::cli {

struct SweepResult {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

// Sweeps the folders that `jobs` write into, each once.
SweepResult SweepDestinationFolders(const std::vector<Job>& jobs, int verbosity, Console& console);

}  // namespace tarn::cli
