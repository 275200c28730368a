// Runs the jobs of one command line on worker threads, reports each file in input order
// and ends with a summary.
#pragma once

#include <vector>

#include "arguments.hpp"
#include "console.hpp"
#include "jobs.hpp"

namespace tarn::cli {

// Compress, decompress, prepare and test: the commands RunBatch runs.
bool IsBatchCommand(Command command);

// Returns how many jobs failed. `workers` files are worked on at once.
size_t RunBatch(const Arguments& arguments, const std::vector<Job>& jobs, size_t workers, Console& console);

}  // namespace tarn::cli
