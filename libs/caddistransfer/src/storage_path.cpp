#include "storage_path.hpp"

#include <system_error>

#include "error.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text, const std::string& url) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    // %00 would cut the path short at the C boundary.
    if (high < 0 || low < 0 || (high == 0 && low == 0)) {
      throw PermanentError("storage URL '" + url + "' has an invalid percent escape");
    }
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

}  // namespace

fs::path PathFromFileUrl(const std::string& url) {
  constexpr std::string_view kScheme = "file://";
  if (url.compare(0, kScheme.size(), kScheme) != 0) {
    throw PermanentError("storage URL '" + url + "' is not a file:// URL");
  }
  const std::string rest = url.substr(kScheme.size());
  const auto slash = rest.find('/');
  const std::string host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") {
    throw PermanentError("storage URL '" + url + "' names host '" + host + "'; only local storages are supported");
  }
  if (slash == std::string::npos) throw PermanentError("storage URL '" + url + "' has no path");
  if (rest.find_first_of("?#") != std::string::npos) {
    throw PermanentError("storage URL '" + url + "' must not carry a query or fragment");
  }
  fs::path path = fs::path(PercentDecode(rest.substr(slash), url)).lexically_normal();
  // "file:///a/b/" and "file:///a/b" name the same root.
  if (path.has_filename() == false && path != path.root_path()) path = path.parent_path();
  return path;
}

void CheckStorageRootDirectory(const fs::path& root) {
  std::error_code error;
  const fs::path real = fs::canonical(root, error);
  if (error || !fs::is_directory(real, error)) {
    throw PermanentError("the storage root " + root.string() + " is not an existing directory" +
                         (error ? ": " + error.message() : std::string()));
  }
  if (real == real.root_path()) {
    throw PermanentError("the storage root " + root.string() + " is the whole file system; name a folder instead");
  }
}

fs::path ResolveInside(const fs::path& root, const std::string& name) {
  if (name.empty()) throw PermanentError("an empty path names nothing inside a storage");
  const fs::path relative(name);
  if (relative.has_root_name() || relative.has_root_directory()) {
    throw PermanentError("'" + name + "' is absolute; storage paths are relative to the storage root");
  }
  fs::path result = root;
  for (const auto& part : relative) {
    if (part == "..") throw PermanentError("'" + name + "' leaves the storage root");
    if (part.empty() || part == ".") continue;
    result /= part;
  }
  if (result == root) throw PermanentError("'" + name + "' names the storage root itself");
  return result;
}

}  // namespace caddistransfer
