// A new file in a destination's folder that gets its name only once it is complete.
// Where the file system allows, it has no name at all while it is written (O_TMPFILE):
// whatever happens to the process, nothing of it is left. Elsewhere it is written under
// a hidden name that records its writer (temporary_name.hpp), which this object removes
// when it is given up and a later sweep removes when the writer died.
#pragma once

#include <sys/types.h>

#include <filesystem>

namespace tarn {

class PendingOutput {
 public:
  // Creates the file, open for writing, in the folder of `destination`, with `mode`.
  // Throws tarn::Error (status 6) naming `destination` when that is not possible.
  PendingOutput(std::filesystem::path destination, mode_t mode);
  // Removes a named file that was not placed; an unnamed one goes with its descriptor.
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // The caller owns the descriptor and must keep it open until Place() returns.
  int descriptor() const { return descriptor_; }
  bool unnamed() const { return temporary_.empty(); }
  // The hidden name of a named file; empty for an unnamed one.
  const std::filesystem::path& temporary() const { return temporary_; }

  // Gives the complete, synced file the destination's name. An existing file there is
  // replaced only with `replace`, in one step (a rename), and is otherwise refused with
  // "cannot create destination without overwriting" (EEXIST); on any failure it stays
  // as it was. A named file must be closed first (some file systems report write
  // failures only at close); an unnamed one must still be open.
  void Place(bool replace);

 private:
  void PlaceUnnamed(bool replace);
  void PlaceNamed(bool replace);

  std::filesystem::path destination_;
  std::filesystem::path temporary_;  // empty for an unnamed file
  int descriptor_ = -1;
  bool placed_ = false;
};

// Throws the refusal of an existing destination: std::filesystem::filesystem_error
// "cannot create destination without overwriting" with EEXIST.
[[noreturn]] void RefuseDestination(const std::filesystem::path& destination);

namespace hooks {
// Whether outputs may be written as unnamed files (on unless turned off). Tests turn it
// off to run the named path on file systems that support both.
void SetUnnamedOutputs(bool enabled);
}  // namespace hooks

}  // namespace tarn
