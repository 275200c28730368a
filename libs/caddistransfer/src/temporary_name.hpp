// Names for work in progress: hidden, random, beside their final place, so a
// crash never leaves anything under a final name.
#pragma once

#include <filesystem>
#include <string>

namespace caddistransfer {

// Random lowercase hex digits.
std::string RandomHex(std::size_t digits);

// parent/.name.part-XXXXXXXXXXXX for a final path parent/name.
std::filesystem::path TemporaryNameBeside(const std::filesystem::path& final_path);

// A directory created fresh under parent and removed with everything in it.
class ScopedDirectory {
 public:
  ScopedDirectory(const std::filesystem::path& parent, const std::string& prefix);
  ~ScopedDirectory();
  ScopedDirectory(const ScopedDirectory&) = delete;
  ScopedDirectory& operator=(const ScopedDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace caddistransfer
