// Storage roots and the names inside them: relative names with ".." or an absolute
// form are refused here, before any storage is touched (links that lead out of a root
// are caught by contained_directory.hpp as the folders are opened).
#pragma once

#include <filesystem>
#include <string>

namespace caddistransfer {

// The local directory named by a file:// URL ("file:///srv/data", "file://localhost/srv/data").
std::filesystem::path PathFromFileUrl(const std::string& url);

// Refuses (PermanentError) a storage root that is not an existing directory, or that is
// the whole file system ("/", also through links).
void CheckStorageRootDirectory(const std::filesystem::path& root);

// root / name for a relative name that stays inside root; PermanentError otherwise.
std::filesystem::path ResolveInside(const std::filesystem::path& root, const std::string& name);

}  // namespace caddistransfer
