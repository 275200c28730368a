#include "file_storage.hpp"

#include <cerrno>
#include <chrono>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.hpp"
#include "temporary_name.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// Placing a record and then its file takes two renames; a record that waits longer than
// this for its file was left by a process that died in between.
constexpr auto kOrphanGrace = std::chrono::seconds(2);
constexpr std::size_t kMaxRecordBytes = 1 << 16;

struct Place {
  ContainedDirectory folder;
  std::string file;
  fs::path shown() const { return folder.path() / file; }
};

std::optional<Place> Locate(const ContainedDirectory& root, const std::string& name,
                            std::vector<fs::path>* created) {
  const fs::path relative(name);
  auto folder = root.Descend(relative.parent_path(), created);
  if (!folder) return std::nullopt;
  return Place{std::move(*folder), relative.filename().string()};
}

std::string RecordName(const std::string& file) { return file + std::string(kRecordSuffix); }

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// False when nothing is there; other failures throw.
bool StatAt(int directory, const std::string& name, struct stat& info, int flags, const fs::path& shown) {
  if (::fstatat(directory, name.c_str(), &info, flags) == 0) return true;
  if (errno == ENOENT) return false;
  throw TransferError(SystemErrorText("cannot inspect " + shown.string(), errno));
}

Clock::time_point ModifiedTime(const struct stat& info) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
}

void ReadRecord(const Place& place, ObjectInfo& info) {
  const std::string name = RecordName(place.file);
  const fs::path shown = place.folder.path() / name;
  const int fd = ::openat(place.folder.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) info.record_problem = SystemErrorText("cannot read its record " + shown.string(), errno);
    return;
  }
  FileDescriptor in(fd, shown);
  std::string text(kMaxRecordBytes + 1, '\0');
  text.resize(in.ReadAt(0, text.data(), text.size()));
  if (text.size() > kMaxRecordBytes) {
    info.record_problem = "its record " + shown.string() + " is too large to be one";
    return;
  }
  try {
    info.record = ObjectRecord::FromText(text);
  } catch (const std::exception& error) {
    info.record_problem = "its record " + shown.string() + " cannot be used: " + error.what();
  }
}

ObjectInfo InfoOf(const Place& place, const struct stat& status) {
  ObjectInfo info;
  info.size = static_cast<uint64_t>(status.st_size);
  if (!S_ISREG(status.st_mode)) {
    info.record_problem = place.shown().string() + " is not a file";
    return info;
  }
  ReadRecord(place, info);
  return info;
}

// 0 when placed, EEXIST when `to` exists (nothing changed); other failures throw.
int PlaceWithoutReplacing(const ContainedDirectory& folder, const std::string& from, const std::string& to) {
  int result = ::renameat2(folder.fd(), from.c_str(), folder.fd(), to.c_str(), RENAME_NOREPLACE);
  if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
    // File systems without RENAME_NOREPLACE: link() refuses an existing name just as well.
    result = ::linkat(folder.fd(), from.c_str(), folder.fd(), to.c_str(), 0);
    if (result == 0) ::unlinkat(folder.fd(), from.c_str(), 0);
  }
  if (result == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  throw TransferError(SystemErrorText(
      "cannot move " + (folder.path() / from).string() + " to " + (folder.path() / to).string(), errno));
}

class FileStoredObject final : public StoredObject {
 public:
  FileStoredObject(FileDescriptor fd, ObjectInfo info) : fd_(std::move(fd)), info_(std::move(info)) {}
  const ObjectInfo& info() const override { return info_; }
  std::string Name() const override { return fd_.Name(); }
  uint64_t Size() override { return fd_.Size(); }
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override {
    return fd_.ReadAt(offset, data, size);
  }

 private:
  FileDescriptor fd_;
  ObjectInfo info_;
};

class FilePendingObject final : public PendingObject {
 public:
  FilePendingObject(std::string description, std::shared_ptr<const ContainedDirectory> root, Place place,
                    std::vector<fs::path> created)
      : description_(std::move(description)),
        root_(std::move(root)),
        place_(std::move(place)),
        created_(std::move(created)),
        temporary_(TemporaryName(place_.file)),
        fd_(place_.folder.fd(), temporary_, place_.folder.path() / temporary_,
            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666) {}

  ~FilePendingObject() override {
    if (committed_) return;
    ::unlinkat(place_.folder.fd(), temporary_.c_str(), 0);
    // Folders made for this put go again when nothing else moved in (rmdir refuses then).
    for (auto folder = created_.rbegin(); folder != created_.rend(); ++folder) {
      ::unlinkat(root_->fd(), folder->c_str(), AT_REMOVEDIR);
    }
  }

  std::string Name() const override { return fd_.Name(); }
  uint64_t Size() override { return fd_.Size(); }
  std::size_t ReadAt(uint64_t offset, void* data, std::size_t size) override {
    return fd_.ReadAt(offset, data, size);
  }
  void WriteAt(uint64_t offset, const void* data, std::size_t size) override { fd_.WriteAt(offset, data, size); }
  void Truncate(uint64_t size) override { fd_.Truncate(size); }

  void Commit(const ObjectRecord& record) override {
    fd_.Sync();
    const std::string record_name = RecordName(place_.file);
    const ino_t record_inode = PlaceRecord(record, record_name);
    if (PlaceWithoutReplacing(place_.folder, temporary_, place_.file) != 0) {
      // A file without a record was there first (stored before records were kept).
      struct stat info {};
      if (::fstatat(place_.folder.fd(), record_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          info.st_ino == record_inode) {
        ::unlinkat(place_.folder.fd(), record_name.c_str(), 0);
      }
      ThrowExists();
    }
    committed_ = true;
    FileDescriptor(::dup(place_.folder.fd()), place_.folder.path()).Sync();
    // Folders made for this put must survive a crash as well as the file in them.
    for (const auto& folder : created_) {
      const fs::path parent = folder.parent_path();
      FileDescriptor(root_->fd(), parent.empty() ? "." : parent.string(), root_->path() / parent,
                     O_RDONLY | O_DIRECTORY)
          .Sync();
    }
  }

 private:
  [[noreturn]] void ThrowExists() {
    std::optional<ObjectInfo> existing;
    struct stat info {};
    if (StatAt(place_.folder.fd(), place_.file, info, 0, place_.shown())) existing = InfoOf(place_, info);
    throw ObjectExists(description_ + " already holds " + place_.shown().string(), std::move(existing));
  }

  bool FileIsThere() {
    struct stat info {};
    return StatAt(place_.folder.fd(), place_.file, info, AT_SYMLINK_NOFOLLOW, place_.shown());
  }

  // Places the record, which claims the name; returns its inode.
  ino_t PlaceRecord(const ObjectRecord& record, const std::string& record_name) {
    const std::string temporary = TemporaryName(record_name);
    const fs::path shown = place_.folder.path() / temporary;
    struct Remover {
      int folder;
      const std::string& name;
      ~Remover() { ::unlinkat(folder, name.c_str(), 0); }
    } remover{place_.folder.fd(), temporary};
    {
      FileDescriptor out(place_.folder.fd(), temporary, shown, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
      const std::string text = record.ToText();
      out.WriteAll(text.data(), text.size());
      out.Sync();
      out.Close();
    }
    for (int attempt = 0;; ++attempt) {
      if (PlaceWithoutReplacing(place_.folder, temporary, record_name) == 0) break;
      const auto deadline = std::chrono::steady_clock::now() + kOrphanGrace;
      while (!FileIsThere() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (FileIsThere()) ThrowExists();
      if (attempt > 0) {
        throw TransferError("another upload is placing " + place_.shown().string() + " in " + description_);
      }
      // Left by a process that died between its two renames: it gives way.
      ::unlinkat(place_.folder.fd(), record_name.c_str(), 0);
    }
    struct stat info {};
    StatAt(place_.folder.fd(), record_name, info, AT_SYMLINK_NOFOLLOW, place_.folder.path() / record_name);
    return info.st_ino;
  }

  std::string description_;
  std::shared_ptr<const ContainedDirectory> root_;
  Place place_;
  std::vector<fs::path> created_;
  std::string temporary_;
  FileDescriptor fd_;
  bool committed_ = false;
};

}  // namespace

FileStorage::FileStorage(std::string id, fs::path root) : id_(std::move(id)), root_(std::move(root)) {}

std::string FileStorage::Describe() const { return "storage '" + id_ + "' (" + root_.string() + ")"; }

std::shared_ptr<const ContainedDirectory> FileStorage::Root() {
  return ContainedDirectory::OpenRoot(root_, "the root " + root_.string() + " of storage '" + id_ + "'");
}

void FileStorage::RequireReachable() { Root(); }

void FileStorage::Probe() {
  const auto root = Root();
  const std::string name = TemporaryName("probe");
  const fs::path shown = root->path() / name;
  struct Remover {
    int folder;
    const std::string& name;
    ~Remover() { ::unlinkat(folder, name.c_str(), 0); }
  } remover{root->fd(), name};
  const std::string content = "caddistransfer probe " + RandomHex(16);
  FileDescriptor probe(root->fd(), name, shown, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  probe.WriteAll(content.data(), content.size());
  probe.Sync();
  std::string back(content.size() + 1, '\0');
  back.resize(probe.ReadAt(0, back.data(), back.size()));
  if (back != content) {
    throw TransferError("storage '" + id_ + "' returned different bytes than were written to " + shown.string());
  }
  probe.Close();
  if (::unlinkat(root->fd(), name.c_str(), 0) != 0) {
    throw TransferError(SystemErrorText("storage '" + id_ + "' cannot remove " + shown.string(), errno));
  }
}

std::optional<ObjectInfo> FileStorage::Stat(const std::string& name) {
  const auto root = Root();
  const auto place = Locate(*root, name, nullptr);
  if (!place) return std::nullopt;
  struct stat info {};
  if (!StatAt(place->folder.fd(), place->file, info, 0, place->shown())) return std::nullopt;
  return InfoOf(*place, info);
}

std::unique_ptr<StoredObject> FileStorage::Open(const std::string& name) {
  const auto root = Root();
  const auto place = Locate(*root, name, nullptr);
  if (!place) return nullptr;
  const int fd = ::openat(place->folder.fd(), place->file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return nullptr;
    throw TransferError(SystemErrorText("cannot open " + place->shown().string(), errno));
  }
  FileDescriptor object(fd, place->shown());
  place->folder.CheckInside(fd, place->shown());
  const struct stat status = object.Status();
  if (!S_ISREG(status.st_mode)) throw PermanentError(place->shown().string() + " is not a file");
  ObjectInfo info = InfoOf(*place, status);
  return std::make_unique<FileStoredObject>(std::move(object), std::move(info));
}

std::unique_ptr<PendingObject> FileStorage::BeginPut(const std::string& name) {
  auto root = Root();
  std::vector<fs::path> created;
  auto place = Locate(*root, name, &created);
  return std::make_unique<FilePendingObject>(Describe(), std::move(root), std::move(*place), std::move(created));
}

bool FileStorage::Remove(const std::string& name) {
  const auto root = Root();
  const auto place = Locate(*root, name, nullptr);
  if (!place) return false;
  // The file first: a stored file never stays without its record.
  if (::unlinkat(place->folder.fd(), place->file.c_str(), 0) != 0) {
    if (errno == ENOENT) return false;
    throw TransferError(SystemErrorText("cannot remove " + place->shown().string(), errno));
  }
  const std::string record = RecordName(place->file);
  if (::unlinkat(place->folder.fd(), record.c_str(), 0) != 0 && errno != ENOENT) {
    throw TransferError(SystemErrorText("cannot remove " + (place->folder.path() / record).string(), errno));
  }
  return true;
}

std::vector<Leftover> FileStorage::ListLeftovers(const std::string& folder, bool recursive) {
  const auto root = Root();
  std::optional<ContainedDirectory> start = folder.empty() ? std::optional(*root) : root->Descend(folder, nullptr);
  std::vector<Leftover> found;
  if (!start) return found;
  std::vector<std::pair<ContainedDirectory, std::string>> pending{{*start, folder.empty() ? "" : folder + "/"}};
  while (!pending.empty()) {
    auto [directory, prefix] = std::move(pending.back());
    pending.pop_back();
    // A fresh open file description: the listing must not move a shared offset.
    const int fd = ::openat(directory.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (listing == nullptr) {
      if (fd >= 0) ::close(fd);
      throw TransferError(SystemErrorText("cannot list " + directory.path().string(), errno));
    }
    struct Closer {
      DIR* listing;
      ~Closer() { ::closedir(listing); }
    } closer{listing};
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat info {};
      if (::fstatat(::dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISREG(info.st_mode) && IsTemporaryName(name)) {
        found.push_back({prefix + name, ModifiedTime(info), Leftover::Kind::kTemporary});
      } else if (S_ISREG(info.st_mode) && EndsWith(name, kRecordSuffix)) {
        const std::string object = name.substr(0, name.size() - kRecordSuffix.size());
        struct stat object_info {};
        if (::fstatat(::dirfd(listing), object.c_str(), &object_info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
          found.push_back({prefix + name, ModifiedTime(info), Leftover::Kind::kRecordWithoutObject});
        }
      } else if (S_ISDIR(info.st_mode) && recursive) {
        if (auto child = directory.Descend(name, nullptr)) pending.emplace_back(std::move(*child), prefix + name + "/");
      }
    }
  }
  return found;
}

void FileStorage::RemoveLeftover(const Leftover& leftover) {
  const auto root = Root();
  const auto place = Locate(*root, leftover.name, nullptr);
  if (!place) return;
  if (leftover.kind == Leftover::Kind::kTemporary) {
    if (!IsTemporaryName(place->file)) return;
  } else {
    if (!EndsWith(place->file, kRecordSuffix)) return;
    struct stat info {};
    const std::string object = place->file.substr(0, place->file.size() - kRecordSuffix.size());
    if (StatAt(place->folder.fd(), object, info, AT_SYMLINK_NOFOLLOW, place->folder.path() / object)) return;
  }
  if (::unlinkat(place->folder.fd(), place->file.c_str(), 0) != 0 && errno != ENOENT) {
    throw TransferError(SystemErrorText("cannot remove " + place->shown().string(), errno));
  }
}

}  // namespace caddistransfer
