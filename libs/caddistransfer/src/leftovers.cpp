#include "leftovers.hpp"

#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "tarn/file/leftovers.hpp"
#include "temporary_name.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// A record waits for its file for two renames; after this long it never will.
constexpr auto kRecordWithoutObjectAge = std::chrono::minutes(1);

bool IsStale(const Leftover& leftover, Clock::time_point now) {
  if (leftover.kind == Leftover::Kind::kRecordWithoutObject) return now - leftover.modified > kRecordWithoutObjectAge;
  if (leftover.kind == Leftover::Kind::kUnfinished) return now - leftover.modified > kLeftoverAge;
  return IsStaleTemporary(fs::path(leftover.name).filename().string(), leftover.modified, now);
}

}  // namespace

std::size_t SweepStorage(Storage& storage, const std::string& folder, bool recursive) {
  std::size_t removed = 0;
  try {
    const auto now = Clock::now();
    for (const auto& leftover : storage.ListLeftovers(folder, recursive)) {
      if (!IsStale(leftover, now)) continue;
      try {
        storage.RemoveLeftover(leftover);
        ++removed;
      } catch (const std::exception&) {
      }
    }
  } catch (const std::exception&) {
    // Unreachable now: the transfer itself will say so.
  }
  return removed;
}

std::size_t SweepLocalFolder(const fs::path& folder) {
  // Downloads write through libtarn's pending outputs; earlier versions named their own.
  std::size_t removed = 0;
  try {
    removed += tarn::RemoveLeftovers(folder).size();
  } catch (const std::exception&) {
    // An unreadable folder fails the download itself, with its reason.
  }
  std::error_code error;
  const auto now = Clock::now();
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    struct stat info {};
    if (!IsTemporaryName(name) || ::lstat(entry->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    const Clock::time_point modified(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    if (IsStaleTemporary(name, modified, now) && ::unlink(entry->path().c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace caddistransfer
