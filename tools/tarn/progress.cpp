#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <fmt/format.h>

#include "units.hpp"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

// Bytes a thread of this process has read so far ("rchar" in Linux's per-thread I/O
// counters); 0 where the counters cannot be read, which only makes progress coarser.
uint64_t BytesReadByThread(pid_t thread) {
  std::ifstream io(fmt::format("/proc/self/task/{}/io", thread));
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

}  // namespace

ProgressMeter::ProgressMeter(Console& console, size_t files, uint64_t bytes, size_t workers)
    : console_(console), files_(files), bytes_(bytes), slots_(new Slot[workers]), workers_(workers) {
  if (!console_.has_progress_line()) return;
  drawer_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, kFirstDraw, [this] { return stop_; })) return;
    do {
      lock.unlock();
      Draw();
      lock.lock();
    } while (!wake_.wait_for(lock, kRedraw, [this] { return stop_; }));
  });
}

ProgressMeter::~ProgressMeter() {
  if (!drawer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  drawer_.join();
  console_.ClearProgress();
}

void ProgressMeter::Begin(size_t worker, uint64_t size) {
  Slot& slot = slots_[worker];
  const pid_t thread = gettid();
  slot.thread = thread;
  slot.size = size;
  slot.read_at_begin = console_.has_progress_line() ? BytesReadByThread(thread) : 0;
  slot.busy = true;
}

void ProgressMeter::End(size_t worker) {
  Slot& slot = slots_[worker];
  slot.busy = false;
  bytes_of_done_files_ += slot.size;
  ++files_done_;
}

uint64_t ProgressMeter::BytesDone() const {
  uint64_t done = bytes_of_done_files_;
  for (size_t i = 0; i < workers_; ++i) {
    const Slot& slot = slots_[i];
    if (!slot.busy) continue;
    const uint64_t read = BytesReadByThread(slot.thread);
    // A file may be read more than once (checks, verification): never count past its size.
    if (read > slot.read_at_begin) done += std::min<uint64_t>(read - slot.read_at_begin, slot.size);
  }
  done = std::min(std::max(done, shown_bytes_.load()), bytes_);
  shown_bytes_ = done;
  return done;
}

std::string ProgressMeter::Line(double elapsed) const {
  const uint64_t done = BytesDone();
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  const std::string left = rate > 0 ? HumanDuration(static_cast<double>(bytes_ - done) / rate) : "-";
  return fmt::format("tarn: {}/{} files, {} of {}, {}/s, ETA {}", files_done_.load(), files_, HumanSize(done),
                     HumanSize(bytes_), HumanSize(static_cast<uint64_t>(rate)), left);
}

void ProgressMeter::Draw() {
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  console_.Progress(Line(elapsed));
}

}  // namespace tarn::cli
