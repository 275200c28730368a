#include "tarn/file/destination.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>

#include "tarn/file/write_failure.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kOpenFailure = "could not open destination stream to path";

[[noreturn]] void RefuseDestination(const fs::path& destination) {
  throw fs::filesystem_error("cannot create destination without overwriting", destination,
                             std::make_error_code(std::errc::file_exists));
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

fs::path Folder(const fs::path& destination) {
  return destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
}

// File systems that cannot sync a descriptor say so with EINVAL; nothing more can be done there.
bool SyncUnsupported(int error) { return error == EINVAL || error == ENOTSUP; }

// A rename is durable only once the folder that holds the new name is.
void SyncFolder(const fs::path& destination) {
  const int folder = ::open(Folder(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) ThrowWriteFailure("could not sync the folder of", destination, errno);
  const int synced = ::fsync(folder);
  const int error = errno;
  ::close(folder);
  if (synced != 0 && !SyncUnsupported(error)) ThrowWriteFailure("could not sync the folder of", destination, error);
}

void MoveIntoPlace(const fs::path& temporary, const fs::path& destination, bool overwrite) {
  if (overwrite) {
    if (::rename(temporary.c_str(), destination.c_str()) != 0) {
      ThrowWriteFailure("could not move the output into place at", destination, errno);
    }
    return;
  }
  if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return;
  const int rename_error = errno;
  if (rename_error == EEXIST) RefuseDestination(destination);
  // Some file systems cannot refuse atomically; check, then move.
  if (rename_error != EINVAL && rename_error != ENOSYS && rename_error != ENOTSUP) {
    ThrowWriteFailure("could not move the output into place at", destination, rename_error);
  }
  if (fs::exists(destination)) RefuseDestination(destination);
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    ThrowWriteFailure("could not move the output into place at", destination, errno);
  }
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
    : destination_(destination), overwrite_(overwrite), buffer_(destination), stream_(&buffer_) {
  CheckDestination(source, destination, overwrite);
  Open(create_directories);
}

DestinationFile::DestinationFile(const fs::path& destination)
    : destination_(destination), overwrite_(true), buffer_(destination), stream_(&buffer_) {
  Open(false);
}

void DestinationFile::Open(bool create_directories) {
  if (create_directories && !destination_.parent_path().empty()) {
    std::error_code error;
    fs::create_directories(destination_.parent_path(), error);
    if (error) ThrowWriteFailure("could not create the folder", destination_.parent_path(), error.value());
  }
  stream_.exceptions(std::ios::badbit | std::ios::failbit);

  std::error_code error;
  const auto status = fs::status(destination_, error);
  if (!error && fs::exists(status) && !fs::is_regular_file(status)) {
    // Devices and pipes cannot be replaced by a rename; write to them as they are.
    const int descriptor = ::open(destination_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (descriptor < 0) ThrowWriteFailure(kOpenFailure, destination_, errno);
    buffer_.Attach(descriptor);
    return;
  }

  // Named after the destination so that a left-over file explains itself; long names
  // would exceed the file system's name limit with the suffix.
  const std::string name = destination_.filename().string();
  std::string pattern =
      (Folder(destination_) / (name.size() <= 200 ? "." + name + ".tarn-XXXXXX" : ".tarn-XXXXXX")).string();
  const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);
  if (descriptor < 0) ThrowWriteFailure(kOpenFailure, destination_, errno);
  temporary_ = pattern;
  // The result gets the mode the destination has now, or that of a newly created file.
  struct stat existing {};
  const mode_t mode = ::stat(destination_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  fchmod(descriptor, mode);
  buffer_.Attach(descriptor);
}

DestinationFile::~DestinationFile() {
  if (committed_) return;
  if (!temporary_.empty()) {
    std::error_code ignored;
    fs::remove(temporary_, ignored);
  }
}

void DestinationFile::Commit() {
  if (temporary_.empty()) {
    buffer_.Close();
    committed_ = true;
    return;
  }
  buffer_.FinishAndClose();
  MoveIntoPlace(temporary_, destination_, overwrite_);
  committed_ = true;
  SyncFolder(destination_);
}

}  // namespace tarn
