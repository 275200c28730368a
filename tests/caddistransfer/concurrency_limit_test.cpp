#include "concurrency_limit.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace caddistransfer {
namespace {

TEST(ConcurrencyLimit, NeverLetsMoreThanTheLimitIn) {
  ConcurrencyLimit limit(2);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        for (int round = 0; round < 20; ++round) {
          ConcurrencyLimit::Slot slot(limit);
          const int now = ++inside;
          int seen = most.load();
          while (now > seen && !most.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          --inside;
        }
      });
    }
  }
  EXPECT_LE(most.load(), 2);
  EXPECT_GE(most.load(), 1);
}

TEST(ConcurrencyLimit, RaisingTheLimitReleasesWaiters) {
  ConcurrencyLimit limit(1);
  limit.Acquire();
  std::atomic<bool> entered{false};
  std::jthread waiter([&] {
    ConcurrencyLimit::Slot slot(limit);
    entered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  limit.SetLimit(2);
  waiter.join();
  EXPECT_TRUE(entered.load());
  limit.Release();
}

}  // namespace
}  // namespace caddistransfer
