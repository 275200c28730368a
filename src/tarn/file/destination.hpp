// The output of one file operation: refused when it would clobber the source or an
// existing file, written beside its final name and moved into place only on success.
#pragma once

#include <filesystem>
#include <fstream>

namespace tarn {

// Throws std::filesystem::filesystem_error (EEXIST) when `destination` is `source`
// (under any spelling) or exists while `overwrite` is false.
void CheckDestination(const std::filesystem::path& source, const std::filesystem::path& destination, bool overwrite);

class DestinationFile {
 public:
  // Checks the destination, creates parent folders when asked, and opens a temporary
  // file in the destination's folder. Devices and pipes are written directly.
  DestinationFile(const std::filesystem::path& source, const std::filesystem::path& destination, bool overwrite,
                  bool create_directories);
  // Without Commit() the temporary file is removed; an existing destination stays as it was.
  ~DestinationFile();
  DestinationFile(const DestinationFile&) = delete;
  DestinationFile& operator=(const DestinationFile&) = delete;

  std::ostream& stream() { return stream_; }
  // Closes the output and gives it its final name.
  void Commit();

 private:
  std::filesystem::path destination_;
  std::filesystem::path temporary_;  // empty when writing directly
  bool overwrite_;
  bool committed_ = false;
  std::ofstream stream_;
};

}  // namespace tarn
