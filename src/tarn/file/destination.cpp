#include "tarn/file/destination.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace tarn {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void RefuseDestination(const fs::path& destination) {
  throw fs::filesystem_error("cannot create destination without overwriting", destination,
                             std::make_error_code(std::errc::file_exists));
}

[[noreturn]] void ThrowOpenFailure(const fs::path& destination, int error) {
  throw std::ios_base::failure("could not open destination stream to path " + destination.string(),
                               std::error_code(error, std::generic_category()));
}

// The mode a new file would get: 0666 less the process umask (read without changing it).
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 0644;
}

}  // namespace

void CheckDestination(const fs::path& source, const fs::path& destination, bool overwrite) {
  if (destination == source) RefuseDestination(destination);
  std::error_code error;
  const bool exists = fs::exists(destination, error);
  if (error) throw fs::filesystem_error("cannot inspect destination", destination, error);
  if (!exists) return;
  // "./a.tif", "dir/../a.tif", links: the same file under another spelling.
  if (fs::equivalent(source, destination, error) && !error) RefuseDestination(destination);
  if (!overwrite) RefuseDestination(destination);
}

DestinationFile::DestinationFile(const fs::path& source, const fs::path& destination, bool overwrite,
                                 bool create_directories)
    : destination_(destination), overwrite_(overwrite) {
  CheckDestination(source, destination, overwrite);
  const fs::path parent = destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
  if (create_directories && !destination.parent_path().empty()) fs::create_directories(destination.parent_path());

  stream_.exceptions(std::ios::badbit | std::ios::failbit);
  std::error_code error;
  const auto status = fs::status(destination, error);
  if (!error && fs::exists(status) && !fs::is_regular_file(status)) {
    // Devices and pipes cannot be replaced by a rename; write to them as they are.
    try {
      stream_.open(destination, std::ios::binary | std::ios::trunc);
    } catch (const std::ios_base::failure&) {
      ThrowOpenFailure(destination, errno);
    }
    return;
  }

  // Named after the destination so that a left-over file explains itself; long names
  // would exceed the file system's name limit with the suffix.
  const std::string name = destination.filename().string();
  std::string pattern = (parent / (name.size() <= 200 ? "." + name + ".tarn-XXXXXX" : ".tarn-XXXXXX")).string();
  const int descriptor = mkstemp(pattern.data());
  if (descriptor < 0) ThrowOpenFailure(destination, errno);
  temporary_ = pattern;
  // The result gets the mode the destination has now, or that of a newly created file.
  struct stat existing {};
  const mode_t mode = ::stat(destination.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  fchmod(descriptor, mode);
  close(descriptor);
  try {
    stream_.open(temporary_, std::ios::binary | std::ios::trunc);
  } catch (const std::ios_base::failure&) {
    const int open_error = errno;
    fs::remove(temporary_, error);
    ThrowOpenFailure(destination, open_error);
  }
}

DestinationFile::~DestinationFile() {
  if (committed_) return;
  stream_.exceptions(std::ios::goodbit);
  stream_.close();
  if (!temporary_.empty()) {
    std::error_code ignored;
    fs::remove(temporary_, ignored);
  }
}

void DestinationFile::Commit() {
  const auto end = stream_.tellp();
  stream_.close();  // throws when buffered data cannot be written
  if (temporary_.empty()) {
    committed_ = true;
    return;
  }
  // A codec that fell back to copying rewinds its output; nothing may linger past the end.
  if (end >= 0 && fs::file_size(temporary_) != static_cast<uintmax_t>(end)) {
    fs::resize_file(temporary_, static_cast<uintmax_t>(end));
  }
  if (overwrite_) {
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
      throw fs::filesystem_error("cannot move output into place", temporary_, destination_,
                                 std::error_code(errno, std::generic_category()));
    }
  } else if (renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) != 0) {
    const int rename_error = errno;
    // Some file systems cannot refuse atomically; check, then move.
    if (rename_error != EINVAL && rename_error != ENOSYS && rename_error != ENOTSUP) {
      if (rename_error == EEXIST) RefuseDestination(destination_);
      throw fs::filesystem_error("cannot move output into place", temporary_, destination_,
                                 std::error_code(rename_error, std::generic_category()));
    }
    if (fs::exists(destination_)) RefuseDestination(destination_);
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
      throw fs::filesystem_error("cannot move output into place", temporary_, destination_,
                                 std::error_code(errno, std::generic_category()));
    }
  }
  committed_ = true;
}

}  // namespace tarn
