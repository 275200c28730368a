#include "token_bucket.hpp"

#include <algorithm>
#include <thread>

namespace caddistransfer {

TokenBucket::TokenBucket()
    : TokenBucket([] { return Clock::now(); }, [](Clock::duration d) { std::this_thread::sleep_for(d); }) {}

TokenBucket::TokenBucket(Now now, Sleep sleep) : now_(std::move(now)), sleep_(std::move(sleep)), last_(now_()) {}

void TokenBucket::Configure(double rate, double depth) {
  std::lock_guard lock(mutex_);
  rate_ = rate > 0 ? rate : 0;
  depth_ = std::max(depth, 0.0);
  tokens_ = depth_;
  last_ = now_();
}

void TokenBucket::Acquire(std::size_t bytes) {
  Clock::duration wait{};
  {
    std::lock_guard lock(mutex_);
    if (rate_ <= 0) return;
    const auto now = now_();
    const double elapsed = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    tokens_ = std::min(depth_, tokens_ + elapsed * rate_);
    tokens_ -= static_cast<double>(bytes);
    if (tokens_ < 0) {
      wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-tokens_ / rate_));
    }
  }
  // Sleep outside the lock: later callers see the debt and queue up behind it.
  if (wait > Clock::duration::zero()) sleep_(wait);
}

}  // namespace caddistransfer
