#include "tarn/file/destination.hpp"

#include <fcntl.h>
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

// A new name is durable only once the folder that holds it is.
void SyncFolder(const fs::path& destination) {
  const int folder = ::open(Folder(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) ThrowWriteFailure("could not sync the folder of", destination, errno);
  const int synced = ::fsync(folder);
  const int error = errno;
  ::close(folder);
  if (synced != 0 && !SyncUnsupported(error)) ThrowWriteFailure("could not sync the folder of", destination, error);
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
    : destination_(destination), overwrite_(overwrite), buffer_(destination, &stop_), stream_(&buffer_) {
  CheckDestination(source, destination, overwrite);
  Open(create_directories);
}

DestinationFile::DestinationFile(const fs::path& destination)
    : destination_(destination), overwrite_(true), buffer_(destination, &stop_), stream_(&buffer_) {
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
  // The result gets the mode the destination has now, or that of a newly created file.
  struct stat existing {};
  const mode_t mode = ::stat(destination_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  pending_ = std::make_unique<PendingOutput>(destination_, mode);
  buffer_.Attach(pending_->descriptor());
}

DestinationFile::~DestinationFile() = default;

void DestinationFile::Commit() {
  stop_.ThrowIfRequested();
  if (!pending_) {
    buffer_.Close();
    return;
  }
  buffer_.Finish();
  if (pending_->unnamed()) {
    pending_->Place(overwrite_);
    buffer_.Close();
  } else {
    buffer_.Close();
    pending_->Place(overwrite_);
  }
  SyncFolder(destination_);
}

}  // namespace tarn
