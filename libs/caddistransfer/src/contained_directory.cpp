#include "contained_directory.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

fs::path RealPathOf(int fd, const fs::path& shown) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
    throw TransferError(SystemErrorText("cannot tell where " + shown.string() + " lies", errno));
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

bool IsWithin(const fs::path& root, const fs::path& inside) {
  const auto [root_end, inside_end] = std::mismatch(root.begin(), root.end(), inside.begin(), inside.end());
  return root_end == root.end();
}

int OpenFolder(int parent, const std::string& name) {
  int fd;
  do {
    fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

ContainedDirectory::ContainedDirectory(std::shared_ptr<FileDescriptor> fd, fs::path path,
                                       std::shared_ptr<const fs::path> real_root)
    : fd_(std::move(fd)), path_(std::move(path)), real_root_(std::move(real_root)) {}

std::shared_ptr<const ContainedDirectory> ContainedDirectory::OpenRoot(const fs::path& root, const std::string& what) {
  const int fd = OpenFolder(AT_FDCWD, root.string());
  if (fd < 0) throw TransferError(SystemErrorText(what + " is not reachable", errno));
  auto descriptor = std::make_shared<FileDescriptor>(fd, root);
  auto real_root = std::make_shared<const fs::path>(RealPathOf(fd, root));
  if (*real_root == real_root->root_path()) {
    throw PermanentError(what + " is the whole file system; name a folder instead");
  }
  return std::shared_ptr<const ContainedDirectory>(new ContainedDirectory(descriptor, root, real_root));
}

void ContainedDirectory::CheckInside(int fd, const fs::path& shown) const {
  const fs::path real = RealPathOf(fd, shown);
  if (!IsWithin(*real_root_, real)) {
    throw PermanentError(shown.string() + " leads to " + real.string() + ", outside the storage root " +
                         real_root_->string());
  }
}

std::optional<ContainedDirectory> ContainedDirectory::Descend(const fs::path& relative,
                                                              std::vector<fs::path>* created) const {
  ContainedDirectory current = *this;
  fs::path made;
  for (const auto& part : relative) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    if (name == "..") throw PermanentError(relative.string() + " leaves the storage root");
    const fs::path shown = current.path_ / name;
    made /= name;
    int fd = OpenFolder(current.fd(), name);
    if (fd < 0 && errno == ENOENT && created != nullptr) {
      // `current` is inside the root, so this folder is too.
      if (::mkdirat(current.fd(), name.c_str(), 0777) == 0) {
        created->push_back(made);
      } else if (errno != EEXIST) {
        throw TransferError(SystemErrorText("cannot create folder " + shown.string(), errno));
      }
      fd = OpenFolder(current.fd(), name);
    }
    if (fd < 0) {
      if (errno == ENOENT && created == nullptr) return std::nullopt;
      if (errno == ENOENT) throw PermanentError(shown.string() + " is a link that leads nowhere");
      if (errno == ENOTDIR) throw PermanentError(shown.string() + " is not a folder");
      throw TransferError(SystemErrorText("cannot open folder " + shown.string(), errno));
    }
    auto descriptor = std::make_shared<FileDescriptor>(fd, shown);
    CheckInside(fd, shown);
    current = ContainedDirectory(descriptor, shown, real_root_);
  }
  return current;
}

}  // namespace caddistransfer
