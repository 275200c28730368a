// The output of one file operation: refused when it would clobber the source or an
// existing file, written as a pending file in the destination's folder and given its
// name only on success. A stop request (stop.hpp) made after it was opened fails its
// next write and its Commit().
#pragma once

#include <filesystem>
#include <ostream>

#include <memory>

#include "tarn/file/output_buffer.hpp"
#include "tarn/file/pending_output.hpp"
#include "tarn/file/stop.hpp"

namespace tarn {

// Throws std::filesystem::filesystem_error (EEXIST) when `destination` is `source`
// (under any spelling) or exists while `overwrite` is false.
void CheckDestination(const std::filesystem::path& source, const std::filesystem::path& destination, bool overwrite);

class DestinationFile {
 public:
  // Checks the destination, creates parent folders when asked, and opens a pending
  // file in the destination's folder. Devices and pipes are written directly.
  DestinationFile(const std::filesystem::path& source, const std::filesystem::path& destination, bool overwrite,
                  bool create_directories);
  // A side file: an existing file at `destination` is replaced.
  explicit DestinationFile(const std::filesystem::path& destination);
  // Without Commit() the pending file is removed; an existing destination stays as it was.
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
  bool overwrite_;
  StopCheck stop_;
  std::unique_ptr<PendingOutput> pending_;  // none when writing directly
  // Declared after pending_: closes the descriptor first, then pending_ removes a name.
  OutputBuffer buffer_;
  std::ostream stream_;
};

}  // namespace tarn
