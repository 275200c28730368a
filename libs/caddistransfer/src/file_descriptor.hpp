// Owned POSIX file descriptor plus the few calls the copy path needs, reporting
// failures as TransferError with the file name and the system's reason.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace caddistransfer {

class FileDescriptor {
 public:
  FileDescriptor(const std::filesystem::path& path, int flags, int mode = 0600);
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  // Reads up to size bytes; 0 at the end of the file.
  std::size_t Read(void* data, std::size_t size);
  void WriteAll(const void* data, std::size_t size);
  void Sync();
  void Close();

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Makes a finished rename durable.
void SyncDirectory(const std::filesystem::path& directory);

}  // namespace caddistransfer
