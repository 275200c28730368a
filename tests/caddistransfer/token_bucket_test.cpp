#include "token_bucket.hpp"

#include <gtest/gtest.h>

namespace caddistransfer {
namespace {

using Clock = TokenBucket::Clock;

// A bucket on a fake clock: sleeping advances the clock and is recorded.
struct FakeTime {
  Clock::time_point now{};
  Clock::duration slept{};
  TokenBucket bucket{[this] { return now; }, [this](Clock::duration d) {
                       now += d;
                       slept += d;
                     }};
  double slept_seconds() const { return std::chrono::duration<double>(slept).count(); }
};

TEST(TokenBucket, UnlimitedNeverWaits) {
  FakeTime time;
  time.bucket.Configure(0, 0);
  time.bucket.Acquire(1 << 30);
  EXPECT_EQ(time.slept, Clock::duration::zero());
}

TEST(TokenBucket, BurstPassesAtOnceThenTheRateHolds) {
  FakeTime time;
  time.bucket.Configure(1000, 500);
  time.bucket.Acquire(500);
  EXPECT_EQ(time.slept, Clock::duration::zero());
  time.bucket.Acquire(1000);
  EXPECT_NEAR(time.slept_seconds(), 1.0, 1e-6);
}

TEST(TokenBucket, IdleTimeRefillsOnlyUpToTheBurst) {
  FakeTime time;
  time.bucket.Configure(1000, 500);
  time.bucket.Acquire(500);
  time.now += std::chrono::seconds(60);
  time.bucket.Acquire(1500);  // 500 banked, 1000 owed
  EXPECT_NEAR(time.slept_seconds(), 1.0, 1e-6);
}

TEST(TokenBucket, BlocksLargerThanTheBurstStillPassAtTheRate) {
  FakeTime time;
  time.bucket.Configure(1 << 20, 0);
  for (int i = 0; i < 10; ++i) time.bucket.Acquire(1 << 20);
  EXPECT_NEAR(time.slept_seconds(), 10.0, 1e-6);
}

TEST(TokenBucket, LongRunAverageMatchesTheRate) {
  FakeTime time;
  const double rate = 3'000'000;
  time.bucket.Configure(rate, 1 << 20);
  std::size_t sent = 0;
  while (time.now < Clock::time_point{} + std::chrono::seconds(10)) {
    time.bucket.Acquire(65536);
    sent += 65536;
  }
  const double seconds = std::chrono::duration<double>(time.now - Clock::time_point{}).count();
  EXPECT_NEAR(static_cast<double>(sent - (1 << 20)) / seconds, rate, rate * 0.01);
}

TEST(TokenBucket, ReconfiguringToUnlimitedForgivesTheDebt) {
  FakeTime time;
  time.bucket.Configure(1000, 0);
  time.bucket.Acquire(1000);
  time.bucket.Configure(0, 0);
  const auto before = time.slept;
  time.bucket.Acquire(1 << 20);
  EXPECT_EQ(time.slept, before);
}

}  // namespace
}  // namespace caddistransfer
