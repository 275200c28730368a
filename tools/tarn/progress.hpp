// The progress line of a batch: files done of all, bytes, throughput and time left,
// redrawn in place on the terminal while work lasts longer than about a second.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "console.hpp"

namespace tarn::cli {

class ProgressMeter {
 public:
  // Draws nothing unless the console has a progress line.
  ProgressMeter(Console& console, size_t files, uint64_t bytes, size_t workers);
  // Stops drawing and clears the line.
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // Called by worker `worker` on its own thread around each file of `size` bytes.
  void Begin(size_t worker, uint64_t size);
  void End(size_t worker);

 private:
  // A file in work: how far it is follows from what its thread has read since it began.
  struct Slot {
    std::atomic<pid_t> thread{0};
    std::atomic<uint64_t> read_at_begin{0};
    std::atomic<uint64_t> size{0};
    std::atomic<bool> busy{false};
  };

  uint64_t BytesDone() const;
  std::string Line(double elapsed) const;
  void Draw();

  Console& console_;
  const size_t files_;
  const uint64_t bytes_;
  std::unique_ptr<Slot[]> slots_;
  const size_t workers_;
  std::atomic<size_t> files_done_{0};
  std::atomic<uint64_t> bytes_of_done_files_{0};
  mutable std::atomic<uint64_t> shown_bytes_{0};  // never drawn going backwards
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread drawer_;
};

}  // namespace tarn::cli
