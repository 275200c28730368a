#include "leftover_sweep.hpp"

#include <set>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "library_log.hpp"
#include "tarn/tarn.h"
#include "units.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;

struct Removed {
  std::vector<std::pair<std::string, uint64_t>> files;
};

void Collect(const char* path, uint64_t size, void* context) {
  static_cast<Removed*>(context)->files.emplace_back(path, size);
}

}  // namespace

SweepResult SweepDestinationFolders(const std::vector<Job>& jobs, int verbosity, Console& console) {
  SweepResult result;
  std::set<fs::path> swept;
  for (const Job& job : jobs) {
    if (job.refusal || !job.destination) continue;
    const fs::path folder = job.destination->has_parent_path() ? job.destination->parent_path() : fs::path(".");
    std::error_code error;
    if (!swept.insert(fs::absolute(folder, error).lexically_normal()).second || !fs::is_directory(folder, error)) {
      continue;
    }
    Removed removed;
    {
      // A folder that cannot be read fails its jobs with a better message; the log of
      // the sweep itself is not shown.
      FileLog ignored;
      FileLogScope scope(ignored);
      TarnRemoveLeftovers(folder.c_str(), Collect, &removed);
    }
    if (removed.files.empty()) continue;
    uint64_t bytes = 0;
    for (const auto& [path, size] : removed.files) {
      bytes += size;
      if (verbosity >= 1) console.Err(fmt::format("tarn: removed {} ({}), left by an interrupted run", path, HumanSize(size)));
    }
    if (verbosity >= 0) {
      console.Err(fmt::format("tarn: removed {} left by interrupted runs in {} ({})",
                              Count(removed.files.size(), "unfinished output"), folder.string(), HumanSize(bytes)));
    }
    result.files += removed.files.size();
    result.bytes += bytes;
  }
  return result;
}

}  // namespace tarn::cli
