// The output of one file operation: refused when it would clobber the source or an
// existing file, written beside its final name and moved into place only on success.
#pragma once

#include <filesystem>
#include <ostream>

#include "tarn/file/output_buffer.hpp"

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
  // A side file: an existing file at `destination` is replaced.
  explicit DestinationFile(const std::filesystem::path& destination);
  // Without Commit() the temporary file is removed; an existing destination stays as it was.
  ~DestinationFile();
  DestinationFile(const DestinationFile&) = delete;
  DestinationFile& operator=(const DestinationFile&) = delete;

  // Every failure of the system while writing throws tarn::Error with status 6.
  std::ostream& stream() { return stream_; }
  // Writes out the output, forces it to the device, gives it its final name and makes
  // that name durable too (the folder is synced), so that a completed operation
  // survives a power loss.
  void Commit();

 private:
  void Open(bool create_directories);

  std::filesystem::path destination_;
  std::filesystem::path temporary_;  // empty when writing directly
  bool overwrite_;
  bool committed_ = false;
  OutputBuffer buffer_;
  std::ostream stream_;
};

}  // namespace tarn
