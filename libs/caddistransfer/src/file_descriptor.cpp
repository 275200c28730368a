#include "file_descriptor.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "error.hpp"

namespace caddistransfer {

FileDescriptor::FileDescriptor(const std::filesystem::path& path, int flags, int mode) : path_(path) {
  do {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw TransferError(SystemErrorText("cannot open " + path.string(), errno));
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t FileDescriptor::Read(void* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_, data, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw TransferError(SystemErrorText("cannot read " + path_.string(), errno));
  }
}

void FileDescriptor::WriteAll(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw TransferError(SystemErrorText("cannot write " + path_.string(), errno));
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void FileDescriptor::Sync() {
  if (::fsync(fd_) != 0) throw TransferError(SystemErrorText("cannot flush " + path_.string(), errno));
}

void FileDescriptor::Close() {
  const int fd = fd_;
  fd_ = -1;
  // close() may report a delayed write error (NFS, full disks); it must not pass silently.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
    throw TransferError(SystemErrorText("cannot close " + path_.string(), errno));
  }
}

void SyncDirectory(const std::filesystem::path& directory) {
  FileDescriptor dir(directory, O_RDONLY | O_DIRECTORY);
  dir.Sync();
}

}  // namespace caddistransfer
