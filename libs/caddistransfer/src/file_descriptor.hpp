// Owned POSIX file descriptor plus the few calls the transfer paths need, reporting
// failures as TransferError with the file name and the system's reason.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <sys/stat.h>

#include "random_access.hpp"

namespace caddistransfer {

class FileDescriptor final : public RandomAccessFile {
 public:
  FileDescriptor() = default;
  FileDescriptor(const std::filesystem::path& path, int flags, int mode = 0600);
  // Opens `name` inside the directory `directory_fd`; `shown` is the path messages use.
  FileDescriptor(int directory_fd, const std::string& name, const std::filesystem::path& shown, int flags,
                 int mode = 0600);
  // Takes over an open descriptor.
  FileDescriptor(int fd, std::filesystem::path shown);
  ~FileDescriptor() override;
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;

  int get() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }

  // Reads up to size bytes at the current position; 0 at the end of the file.
  std::size_t Read(void* data, std::size_t size);
  void WriteAll(const void* data, std::size_t size);
  void Sync();
  void Close();
  struct stat Status() const;

  std::string Name() const override { return path_.string(); }
  uint64_t Size() override;
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override;
  void WriteAt(uint64_t offset, const void* data, std::size_t size) override;
  void Truncate(uint64_t size) override;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Makes a finished rename durable.
void SyncDirectory(const std::filesystem::path& directory);

}  // namespace caddistransfer
