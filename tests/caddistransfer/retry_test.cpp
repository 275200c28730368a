#include "retry.hpp"

#include <gtest/gtest.h>

namespace caddistransfer {
namespace {

using std::chrono::milliseconds;

TEST(WithRetries, TriesAgainUntilTheOperationPasses) {
  int calls = 0;
  const int result = WithRetries(3, milliseconds(0), [&] {
    if (++calls < 3) throw TransferError("busy");
    return 42;
  });
  EXPECT_EQ(result, 42);
  EXPECT_EQ(calls, 3);
}

TEST(WithRetries, GivesUpAfterTheRetriesAndSaysSo) {
  int calls = 0;
  try {
    WithRetries(2, milliseconds(0), [&] {
      ++calls;
      throw TransferError("disk full");
    });
    FAIL() << "no error";
  } catch (const TransferError& error) {
    EXPECT_STREQ(error.what(), "disk full (gave up after 3 attempts)");
  }
  EXPECT_EQ(calls, 3);
}

TEST(WithRetries, ZeroRetriesMeansOneAttemptWithTheOriginalMessage) {
  int calls = 0;
  EXPECT_THROW(
      {
        try {
          WithRetries(0, milliseconds(0), [&] {
            ++calls;
            throw TransferError("offline");
          });
        } catch (const TransferError& error) {
          EXPECT_STREQ(error.what(), "offline");
          throw;
        }
      },
      TransferError);
  EXPECT_EQ(calls, 1);
}

TEST(WithRetries, PermanentFailuresAndOtherExceptionsAreNotRetried) {
  int calls = 0;
  EXPECT_THROW(WithRetries(5, milliseconds(0),
                           [&] {
                             ++calls;
                             throw PermanentError("escape refused");
                           }),
               PermanentError);
  EXPECT_THROW(WithRetries(5, milliseconds(0),
                           [&] {
                             ++calls;
                             throw std::logic_error("bug");
                           }),
               std::logic_error);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace caddistransfer
