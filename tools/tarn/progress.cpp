#include "progress.hpp"

#include <algorithm>
#include <fstream>

#include <fmt/format.h>

#include "units.hpp"

namespace tarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

// Bytes this process has read so far, on every thread ("rchar" of Linux's I/O counters):
// the library reads each input once as it works through it, so this tells how far the
// files in work are. 0 where the counters cannot be read: progress is then counted in
// whole files.
uint64_t BytesReadByProcess() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

}  // namespace

ProgressMeter::ProgressMeter(Console& console, size_t files, uint64_t bytes)
    : console_(console),
      files_(files),
      bytes_(bytes),
      read_at_start_(console.has_progress_line() ? BytesReadByProcess() : 0) {
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

void ProgressMeter::Begin(uint64_t size) { bytes_in_work_ += size; }

void ProgressMeter::End(uint64_t size) {
  bytes_done_ += size;
  bytes_in_work_ -= size;
  ++files_done_;
}

void ProgressMeter::Reread(uint64_t bytes) { bytes_reread_ += bytes; }

uint64_t ProgressMeter::BytesDone() const {
  const uint64_t done = bytes_done_;
  const uint64_t now = BytesReadByProcess();
  const uint64_t since_start = now > read_at_start_ ? now - read_at_start_ : 0;
  const uint64_t reread = bytes_reread_;
  const uint64_t read = since_start > reread ? since_start - reread : 0;
  // Reading is only a guide: never below the finished files, never past those in work.
  uint64_t shown = std::clamp(read, done, done + bytes_in_work_.load());
  shown = std::min(std::max(shown, shown_.load()), bytes_);
  shown_ = shown;
  return shown;
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
