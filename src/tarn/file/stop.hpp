// Stopping file operations from outside: a program that is told to quit (Ctrl-C, a
// hang-up, `kill`) asks every operation running in the process to stop. Each notices at
// its next write, gives up its output (which was never given its name) and fails with
// kTarnStatusStopped; an existing destination stays as it was.
#pragma once

#include <cstdint>

#include "tarn/error.hpp"

namespace tarn {

// Asks every operation running now to stop; operations begun afterwards run normally.
// Async-signal-safe.
void RequestStop() noexcept;

// The failure of an operation that was asked to stop.
class Stopped : public Error {
 public:
  Stopped();
};

// Made when an operation begins; tells whether a stop was requested since.
class StopCheck {
 public:
  StopCheck() noexcept;
  bool Requested() const noexcept;
  // Throws Stopped when Requested().
  void ThrowIfRequested() const;

 private:
  uint64_t seen_;
};

}  // namespace tarn
