// Installation and user directories of calibration data.
#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra::Util {

// The installed library lives in <prefix>/lib (or the build's lib folder); its
// calibration data sits in <prefix>/share/nivra.
std::string nivra_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&nivra_dir), &info) == 0 || info.dli_fname == nullptr) return "";
  std::error_code error;
  std::filesystem::path library = std::filesystem::canonical(info.dli_fname, error);
  if (error) library = info.dli_fname;
  return (library.parent_path().parent_path() / "share" / "nivra").lexically_normal().string();
}

std::string config_data_dir() {
  // XDG base directories: a relative XDG_CONFIG_HOME is invalid and ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return (std::filesystem::path(xdg) / "nivra").string();
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* entry = getpwuid(getuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return "";
  return (std::filesystem::path(home) / ".config" / "nivra").string();
}

}  // namespace Brimlake::Nivra::Util
