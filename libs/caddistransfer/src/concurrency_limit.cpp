#include "concurrency_limit.hpp"

namespace caddistransfer {

void ConcurrencyLimit::SetLimit(unsigned limit) {
  {
    std::lock_guard lock(mutex_);
    limit_ = limit;
  }
  changed_.notify_all();
}

void ConcurrencyLimit::Acquire() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return in_use_ < limit_; });
  ++in_use_;
}

void ConcurrencyLimit::Release() {
  {
    std::lock_guard lock(mutex_);
    --in_use_;
  }
  changed_.notify_one();
}

}  // namespace caddistransfer
