// ParallelFor implementations for the tests: real threads, and a serial one in
// reverse order (any dependence on the order of the tasks shows as different bytes).
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "nivra/nivra.hpp"

namespace nivra_test {

inline Brimlake::Nivra::ParallelFor Threads(unsigned threads) {
  return [threads](std::size_t count, const std::function<void(std::size_t)>& task) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr first_error;
    std::mutex mutex;
    auto work = [&] {
      for (std::size_t i; (i = next++) < count;) {
        try {
          task(i);
        } catch (...) {
          std::lock_guard lock(mutex);
          if (!first_error) first_error = std::current_exception();
        }
      }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& thread : pool) thread.join();
    if (first_error) std::rethrow_exception(first_error);
  };
}

inline void Reversed(std::size_t count, const std::function<void(std::size_t)>& task) {
  for (std::size_t i = count; i-- > 0;) task(i);
}

}  // namespace nivra_test
