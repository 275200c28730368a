// Token bucket that holds a byte stream to a rate: tokens refill at `rate` bytes per
// second up to `depth` (the burst). Acquire takes its bytes at once and, when that
// leaves the bucket in debt, sleeps until the debt is paid, so concurrent users share
// the rate and the long-run average never exceeds it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>

namespace caddistransfer {

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Sleep = std::function<void(Clock::duration)>;

  TokenBucket();
  // For tests: a fake clock and a sleep that advances it.
  TokenBucket(Now now, Sleep sleep);

  // rate <= 0 means unlimited. The bucket starts (and restarts) full.
  void Configure(double rate, double depth);
  void Acquire(std::size_t bytes);

 private:
  Now now_;
  Sleep sleep_;
  std::mutex mutex_;
  double rate_ = 0;
  double depth_ = 0;
  double tokens_ = 0;
  Clock::time_point last_;
};

}  // namespace caddistransfer
