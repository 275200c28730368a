// Open directories that are known to lie inside a storage root. Folders are reached
// one component at a time through open descriptors, and each descriptor's real path is
// checked before anything is created in it: no folder is ever made outside the root,
// whatever links or renames happen on the way.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "file_descriptor.hpp"

namespace caddistransfer {

class ContainedDirectory {
 public:
  // An existing directory that is not "/". Throws TransferError when it cannot be
  // opened (a storage that is not mounted may come back), PermanentError for "/";
  // `what` names the root in messages ("the root /srv/a of storage 'main'").
  static std::shared_ptr<const ContainedDirectory> OpenRoot(const std::filesystem::path& root,
                                                            const std::string& what);

  // The folder `relative` below this one (components checked by ResolveInside).
  // Missing folders are created when `created` is given (their paths, relative to this
  // directory, are appended in creation order); without it a missing folder gives nullopt.
  // Throws PermanentError when a component leads out of the root.
  std::optional<ContainedDirectory> Descend(const std::filesystem::path& relative,
                                            std::vector<std::filesystem::path>* created) const;

  int fd() const { return fd_->get(); }
  // root / relative path, for messages.
  const std::filesystem::path& path() const { return path_; }
  // Throws PermanentError unless the open descriptor lies inside the root.
  void CheckInside(int fd, const std::filesystem::path& shown) const;

 private:
  ContainedDirectory(std::shared_ptr<FileDescriptor> fd, std::filesystem::path path,
                     std::shared_ptr<const std::filesystem::path> real_root);

  std::shared_ptr<FileDescriptor> fd_;
  std::filesystem::path path_;
  std::shared_ptr<const std::filesystem::path> real_root_;
};

}  // namespace caddistransfer
