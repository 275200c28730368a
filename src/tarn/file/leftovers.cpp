#include "tarn/file/leftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "tarn/file/temporary_name.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using FileId = std::pair<dev_t, ino_t>;

Clock::time_point ModifiedTime(const struct stat& status) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(status.st_mtim.tv_sec) + std::chrono::nanoseconds(status.st_mtim.tv_nsec)));
}

// A directory stream that closes itself.
class Directory {
 public:
  explicit Directory(int descriptor) : stream_(descriptor >= 0 ? ::fdopendir(descriptor) : nullptr) {
    if (descriptor >= 0 && stream_ == nullptr) ::close(descriptor);
  }
  ~Directory() {
    if (stream_ != nullptr) ::closedir(stream_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  bool open() const { return stream_ != nullptr; }
  int descriptor() const { return ::dirfd(stream_); }
  const dirent* Next() { return ::readdir(stream_); }

 private:
  DIR* stream_;
};

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Which of `candidates` some process has open, as far as /proc shows; none when /proc
// cannot be read at all (then nothing can be proven unused).
std::optional<std::set<FileId>> OpenAmong(const std::set<FileId>& candidates) {
  Directory processes(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!processes.open() || ::faccessat(processes.descriptor(), "self/fd", R_OK | X_OK, 0) != 0) return std::nullopt;
  std::set<FileId> open;
  while (const dirent* process = processes.Next()) {
    if (!IsNumber(process->d_name)) continue;
    // Processes of other users cannot be inspected; the age rule stands in for them.
    Directory descriptors(::openat(processes.descriptor(), (std::string(process->d_name) + "/fd").c_str(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!descriptors.open()) continue;
    while (const dirent* descriptor = descriptors.Next()) {
      struct stat status {};
      if (!IsNumber(descriptor->d_name) || ::fstatat(descriptors.descriptor(), descriptor->d_name, &status, 0) != 0) {
        continue;
      }
      const FileId id{status.st_dev, status.st_ino};
      if (candidates.count(id) != 0) open.insert(id);
    }
  }
  return open;
}

struct Candidate {
  std::string name;
  struct stat status;
};

}  // namespace

std::vector<RemovedLeftover> RemoveLeftovers(const fs::path& folder) {
  Directory directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.open()) {
    throw fs::filesystem_error("cannot look for leftovers in", folder, std::error_code(errno, std::generic_category()));
  }
  const auto now = Clock::now();
  std::vector<Candidate> removable;
  std::vector<Candidate> unowned;
  while (const dirent* entry = directory.Next()) {
    const std::string name = entry->d_name;
    const TemporaryKind kind = ClassifyTemporaryName(name);
    if (std::holds_alternative<NotTemporary>(kind)) continue;
    Candidate candidate{name, {}};
    if (::fstatat(directory.descriptor(), name.c_str(), &candidate.status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(candidate.status.st_mode)) {
      continue;
    }
    if (const auto* owner = std::get_if<util::ProcessIdentity>(&kind)) {
      if (util::LivenessOf(*owner, ModifiedTime(candidate.status)) == util::Liveness::kGone) {
        removable.push_back(std::move(candidate));
      }
    } else if (now - ModifiedTime(candidate.status) > kUnownedLeftoverAge) {
      unowned.push_back(std::move(candidate));
    }
  }
  if (!unowned.empty()) {
    std::set<FileId> ids;
    for (const Candidate& candidate : unowned) ids.insert({candidate.status.st_dev, candidate.status.st_ino});
    if (const auto open = OpenAmong(ids)) {
      for (Candidate& candidate : unowned) {
        if (open->count({candidate.status.st_dev, candidate.status.st_ino}) == 0) removable.push_back(std::move(candidate));
      }
    }
  }
  std::vector<RemovedLeftover> removed;
  for (const Candidate& candidate : removable) {
    // Only the file that was judged: a name that now leads elsewhere stays.
    struct stat now_there {};
    if (::fstatat(directory.descriptor(), candidate.name.c_str(), &now_there, AT_SYMLINK_NOFOLLOW) != 0 ||
        now_there.st_ino != candidate.status.st_ino || now_there.st_dev != candidate.status.st_dev) {
      continue;
    }
    if (::unlinkat(directory.descriptor(), candidate.name.c_str(), 0) == 0) {
      removed.push_back({folder / candidate.name, static_cast<uint64_t>(candidate.status.st_size)});
    }
  }
  return removed;
}

}  // namespace tarn
