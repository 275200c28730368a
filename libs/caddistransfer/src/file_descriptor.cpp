#include "file_descriptor.hpp"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "error.hpp"

namespace caddistransfer {

FileDescriptor::FileDescriptor(const std::filesystem::path& path, int flags, int mode)
    : FileDescriptor(AT_FDCWD, path.string(), path, flags, mode) {}

FileDescriptor::FileDescriptor(int directory_fd, const std::string& name, const std::filesystem::path& shown,
                               int flags, int mode)
    : path_(shown) {
  do {
    fd_ = ::openat(directory_fd, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw TransferError(SystemErrorText("cannot open " + shown.string(), errno));
}

FileDescriptor::FileDescriptor(int fd, std::filesystem::path shown) : path_(std::move(shown)), fd_(fd) {}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
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
  const int fd = std::exchange(fd_, -1);
  // close() may report a delayed write error (NFS, full disks); it must not pass silently.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
    throw TransferError(SystemErrorText("cannot close " + path_.string(), errno));
  }
}

struct stat FileDescriptor::Status() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) throw TransferError(SystemErrorText("cannot inspect " + path_.string(), errno));
  return info;
}

uint64_t FileDescriptor::Size() { return static_cast<uint64_t>(Status().st_size); }

std::size_t FileDescriptor::ReadAt(uint64_t offset, void* data, std::size_t size) {
  char* bytes = static_cast<char*>(data);
  std::size_t total = 0;
  while (total < size) {
    const ssize_t got = ::pread(fd_, bytes + total, size - total, static_cast<off_t>(offset + total));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw TransferError(SystemErrorText("cannot read " + path_.string(), errno));
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

void FileDescriptor::WriteAt(uint64_t offset, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      throw TransferError(SystemErrorText("cannot write " + path_.string(), errno));
    }
    bytes += written;
    offset += static_cast<uint64_t>(written);
    size -= static_cast<std::size_t>(written);
  }
}

void FileDescriptor::Truncate(uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    throw TransferError(SystemErrorText("cannot truncate " + path_.string(), errno));
  }
}

void SyncDirectory(const std::filesystem::path& directory) {
  FileDescriptor dir(directory, O_RDONLY | O_DIRECTORY);
  dir.Sync();
}

}  // namespace caddistransfer
