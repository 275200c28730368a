// Sets the library's thread count for one test and puts the previous count back.
#pragma once

#include "tarn/util/thread_pool.hpp"

namespace tarn::test {

class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(unsigned count) : previous_(util::ThreadCount()) { util::SetThreadCount(count); }
  ~ScopedThreadCount() { util::SetThreadCount(previous_); }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;

 private:
  unsigned previous_;
};

// The counts the parallel tests run with: inline, fewer workers than chunks, more than cores.
inline constexpr unsigned kThreadCounts[] = {1, 2, 3, 8};

}  // namespace tarn::test
