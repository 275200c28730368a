// The progress line of a batch: files done of all, bytes, throughput and time left,
// redrawn in place on the terminal while work lasts longer than about a second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "console.hpp"

namespace tarn::cli {

class ProgressMeter {
 public:
  // Draws nothing unless the console has a progress line.
  ProgressMeter(Console& console, size_t files, uint64_t bytes);
  // Stops drawing and clears the line.
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // Around each file of `size` bytes, from any thread.
  void Begin(uint64_t size);
  void End(uint64_t size);
  // Bytes read a second time (a check after writing), which are no progress.
  void Reread(uint64_t bytes);

 private:
  uint64_t BytesDone() const;
  std::string Line(double elapsed) const;
  void Draw();

  Console& console_;
  const size_t files_;
  const uint64_t bytes_;
  const uint64_t read_at_start_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<size_t> files_done_{0};
  std::atomic<uint64_t> bytes_done_{0};       // of finished files
  std::atomic<uint64_t> bytes_in_work_{0};    // of files begun and not finished
  std::atomic<uint64_t> bytes_reread_{0};
  mutable std::atomic<uint64_t> shown_{0};    // the line never goes backwards

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread drawer_;
};

}  // namespace tarn::cli
