// Counting semaphore whose limit may change while it is in use.
#pragma once

#include <condition_variable>
#include <mutex>

namespace caddistransfer {

class ConcurrencyLimit {
 public:
  explicit ConcurrencyLimit(unsigned limit) : limit_(limit) {}

  void SetLimit(unsigned limit);
  void Acquire();
  void Release();

  class Slot {
   public:
    explicit Slot(ConcurrencyLimit& limit) : limit_(limit) { limit_.Acquire(); }
    ~Slot() { limit_.Release(); }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

   private:
    ConcurrencyLimit& limit_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned limit_;
  unsigned in_use_ = 0;
};

}  // namespace caddistransfer
