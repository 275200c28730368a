#include "verified_copy.hpp"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "checksum.hpp"
#include "error.hpp"
#include "file_descriptor.hpp"
#include "temporary_name.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlockSize = 1 << 20;

struct FileIdentity {
  off_t size;
  timespec modified;
  ino_t inode;
  bool operator==(const FileIdentity& other) const {
    return size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && inode == other.inode;
  }
};

FileIdentity Identify(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw TransferError(SystemErrorText("cannot inspect " + path.string(), errno));
  return {info.st_size, info.st_mtim, info.st_ino};
}

// Removes the temporary unless it was placed.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const fs::path& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

CopyOutcome ReadBack(const fs::path& path, std::unique_ptr<char[]>& buffer) {
  FileDescriptor in(path, O_RDONLY);
  Checksum checksum;
  CopyOutcome outcome;
  while (const std::size_t got = in.Read(buffer.get(), kBlockSize)) {
    checksum.Update(buffer.get(), got);
    outcome.size += got;
  }
  outcome.checksum = checksum.Digest();
  return outcome;
}

}  // namespace

void PlaceFile(const fs::path& from, const fs::path& to, Placement placement) {
  if (placement == Placement::kReplace) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      throw TransferError(SystemErrorText("cannot move " + from.string() + " to " + to.string(), errno));
    }
  } else {
    int result = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // File systems without RENAME_NOREPLACE: link() refuses an existing name just as well.
      result = ::link(from.c_str(), to.c_str());
      if (result == 0) ::unlink(from.c_str());
    }
    if (result != 0) {
      if (errno == EEXIST) throw PermanentError(to.string() + " already exists; it was left as it was");
      throw TransferError(SystemErrorText("cannot move " + from.string() + " to " + to.string(), errno));
    }
  }
  SyncDirectory(to.parent_path());
}

CopyOutcome VerifiedCopy(const fs::path& source, const fs::path& destination, TokenBucket& bucket,
                         Placement placement) {
  const FileIdentity before = Identify(source);
  auto buffer = std::make_unique<char[]>(kBlockSize);

  TemporaryFile temporary(TemporaryNameBeside(destination));
  CopyOutcome sent;
  {
    FileDescriptor in(source, O_RDONLY);
    FileDescriptor out(temporary.path(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    Checksum checksum;
    while (const std::size_t got = in.Read(buffer.get(), kBlockSize)) {
      checksum.Update(buffer.get(), got);
      bucket.Acquire(got);
      out.WriteAll(buffer.get(), got);
      sent.size += got;
    }
    sent.checksum = checksum.Digest();
    out.Sync();
    out.Close();
  }
  if (!(Identify(source) == before) || sent.size != static_cast<uint64_t>(before.size)) {
    throw TransferError(source.string() + " changed while it was copied");
  }
  const CopyOutcome received = ReadBack(temporary.path(), buffer);
  if (received.size != sent.size || received.checksum != sent.checksum) {
    throw TransferError("verification of " + destination.string() + " failed: " + std::to_string(received.size) +
                        " bytes arrived of " + std::to_string(sent.size) + " sent, or their checksum differs");
  }
  PlaceFile(temporary.path(), destination, placement);
  temporary.Release();
  return sent;
}

}  // namespace caddistransfer
