// Storage roots and the paths inside them. A storage never reads or writes outside
// its root: relative names with ".." or an absolute form are refused, and symbolic
// links that lead out of the root are caught after resolution.
#pragma once

#include <filesystem>
#include <string>

namespace caddistransfer {

// The local directory named by a file:// URL ("file:///srv/data", "file://localhost/srv/data").
std::filesystem::path PathFromFileUrl(const std::string& url);

// root / name for a relative name that stays inside root; PermanentError otherwise.
std::filesystem::path ResolveInside(const std::filesystem::path& root, const std::string& name);

// Throws PermanentError when `inside` (whose parent must exist) resolves outside root.
void CheckContained(const std::filesystem::path& root, const std::filesystem::path& inside);

}  // namespace caddistransfer
