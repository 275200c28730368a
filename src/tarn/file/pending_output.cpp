#include "tarn/file/pending_output.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

#include "tarn/file/temporary_name.hpp"
#include "tarn/file/write_failure.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

std::atomic<bool> unnamed_outputs{true};

constexpr std::string_view kOpenFailure = "could not open destination stream to path";
constexpr std::string_view kPlaceFailure = "could not move the output into place at";
// Fresh random names that collide this often mean something else is wrong.
constexpr int kNameAttempts = 10;

fs::path Folder(const fs::path& destination) {
  return destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
}

// How a kernel or file system without unnamed files answers O_TMPFILE.
bool UnnamedUnsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Gives an unnamed file a name: by its descriptor where the process may (AT_EMPTY_PATH
// needs a capability on older kernels), else through its /proc link. Returns errno.
int Link(int descriptor, const fs::path& target) {
  if (::linkat(descriptor, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  return errno;
}

void Rename(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) ThrowWriteFailure(kPlaceFailure, to, errno);
}

}  // namespace

void RefuseDestination(const fs::path& destination) {
  throw fs::filesystem_error("cannot create destination without overwriting", destination,
                             std::make_error_code(std::errc::file_exists));
}

PendingOutput::PendingOutput(fs::path destination, mode_t mode) : destination_(std::move(destination)) {
  const fs::path folder = Folder(destination_);
  // Linking needs /proc unless the process has the capability; without it, a name.
  if (unnamed_outputs && ::access("/proc/self/fd", X_OK) == 0) {
    descriptor_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (descriptor_ >= 0) {
      ::fchmod(descriptor_, mode);  // exactly `mode`, whatever the umask
      return;
    }
    if (!UnnamedUnsupported(errno)) ThrowWriteFailure(kOpenFailure, destination_, errno);
  }
  for (int attempt = 1;; ++attempt) {
    const fs::path temporary = folder / OwnedTemporaryName(destination_.filename().string());
    descriptor_ = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor_ >= 0) {
      temporary_ = temporary;
      ::fchmod(descriptor_, mode);
      return;
    }
    if (errno != EEXIST || attempt == kNameAttempts) ThrowWriteFailure(kOpenFailure, destination_, errno);
  }
}

PendingOutput::~PendingOutput() {
  if (!placed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

void PendingOutput::Place(bool replace) {
  if (unnamed()) {
    PlaceUnnamed(replace);
  } else {
    PlaceNamed(replace);
  }
  placed_ = true;
}

void PendingOutput::PlaceUnnamed(bool replace) {
  const int error = Link(descriptor_, destination_);
  if (error == 0) return;
  if (error != EEXIST) ThrowWriteFailure(kPlaceFailure, destination_, error);
  if (!replace) RefuseDestination(destination_);
  // A link never replaces: a hidden name first, then one rename over the destination.
  // Until the rename, the file is named like any output in progress and owned by this
  // process, so that a sweep removes it should the process die in between.
  for (int attempt = 1;; ++attempt) {
    const fs::path temporary = Folder(destination_) / OwnedTemporaryName(destination_.filename().string());
    const int link_error = Link(descriptor_, temporary);
    if (link_error == 0) {
      temporary_ = temporary;
      break;
    }
    if (link_error != EEXIST || attempt == kNameAttempts) ThrowWriteFailure(kPlaceFailure, destination_, link_error);
  }
  Rename(temporary_, destination_);
}

void PendingOutput::PlaceNamed(bool replace) {
  if (replace) {
    Rename(temporary_, destination_);
    return;
  }
  if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) == 0) return;
  const int rename_error = errno;
  if (rename_error == EEXIST) RefuseDestination(destination_);
  // Some file systems cannot refuse atomically; a link refuses, then the name goes.
  if (rename_error != EINVAL && rename_error != ENOSYS && rename_error != ENOTSUP) {
    ThrowWriteFailure(kPlaceFailure, destination_, rename_error);
  }
  if (::link(temporary_.c_str(), destination_.c_str()) == 0) {
    ::unlink(temporary_.c_str());
    return;
  }
  const int link_error = errno;
  if (link_error == EEXIST) RefuseDestination(destination_);
  // Nor links: check, then move.
  std::error_code ignored;
  if (fs::exists(fs::symlink_status(destination_, ignored))) RefuseDestination(destination_);
  Rename(temporary_, destination_);
}

namespace hooks {
void SetUnnamedOutputs(bool enabled) { unnamed_outputs = enabled; }
}  // namespace hooks

}  // namespace tarn
