#include "sync.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarn::cli {
namespace {

std::error_code Sync(const std::filesystem::path& path, int flags) {
  const int descriptor = ::open(path.c_str(), flags | O_CLOEXEC);
  if (descriptor < 0) return {errno, std::generic_category()};
  std::error_code error;
  if (::fsync(descriptor) != 0) error.assign(errno, std::generic_category());
  ::close(descriptor);
  return error;
}

}  // namespace

std::error_code SyncFileAndFolder(const std::filesystem::path& file) {
  if (auto error = Sync(file, O_RDONLY)) return error;
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  return Sync(folder, O_RDONLY | O_DIRECTORY);
}

}  // namespace tarn::cli
