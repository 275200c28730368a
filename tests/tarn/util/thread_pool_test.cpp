#include "tarn/util/thread_pool.hpp"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.hpp"
#include "thread_count.hpp"

namespace tarn {
namespace {

using util::ParallelFor;

// ThreadCountTest.ComesFromTheEnvironment starts this program again with this variable
// set: it then prints the count it would use and leaves before any test runs.
[[maybe_unused]] const bool kPrintsThreadCount = [] {
  if (std::getenv("TARN_TEST_PRINT_THREAD_COUNT") == nullptr) return false;
  std::printf("\n%u\n", util::ThreadCount());
  std::fflush(stdout);
  std::_Exit(0);
}();

unsigned AllowedProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  return static_cast<unsigned>(CPU_COUNT(&set));
}

size_t ThreadsOfThisProcess() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Runs `body` in a forked child, which starts with one thread whatever the parent runs,
// and returns its exit status (or 128 + signal). A child that hangs is stopped.
int InChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    std::_Exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ThreadPoolTest : public ::testing::TestWithParam<unsigned> {
 protected:
  test::ScopedThreadCount threads_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Threads, ThreadPoolTest, ::testing::ValuesIn(test::kThreadCounts));

TEST_P(ThreadPoolTest, RunsEveryIndexOnce) {
  for (size_t count : {0, 1, 2, 7, 1000}) {
    std::vector<std::atomic<int>> runs(count);
    std::atomic<bool> elsewhere{false};
    const auto caller = std::this_thread::get_id();
    ParallelFor(count, [&](size_t index) {
      runs[index]++;
      if (std::this_thread::get_id() != caller) elsewhere = true;
    });
    for (size_t index = 0; index < count; ++index) EXPECT_EQ(runs[index], 1) << "index " << index << " of " << count;
    if (GetParam() == 1) {
      EXPECT_FALSE(elsewhere) << "one thread means everything runs on the caller";
    }
  }
}

TEST_P(ThreadPoolTest, RethrowsTheLowestFailingIndexAfterEveryTask) {
  std::vector<std::atomic<int>> runs(20);
  try {
    ParallelFor(runs.size(), [&](size_t index) {
      runs[index]++;
      // The lowest failing index is slow, so with workers a later one fails first.
      if (index == 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        throw std::runtime_error("5");
      }
      if (index == 17 || index == 13) throw std::runtime_error(std::to_string(index));
    });
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "5");
  }
  for (const auto& count : runs) EXPECT_EQ(count, 1);
}

TEST_P(ThreadPoolTest, NestedCallsFinishAndPassFailuresOut) {
  std::atomic<int> leaves{0};
  ParallelFor(6, [&](size_t) {
    ParallelFor(5, [&](size_t) { ParallelFor(4, [&](size_t) { leaves++; }); });
  });
  EXPECT_EQ(leaves, 6 * 5 * 4);

  EXPECT_THROW(ParallelFor(4,
                           [&](size_t outer) {
                             ParallelFor(4, [&](size_t inner) {
                               if (outer == 2 && inner == 3) throw std::logic_error("deep");
                             });
                           }),
               std::logic_error);
}

TEST_P(ThreadPoolTest, ServesSeveralCallersAtOnceEachWithItsOwnContext) {
  std::atomic<uint64_t> sum{0};
  std::atomic<int> foreign_context{0};
  int identities[4] = {};
  std::vector<std::thread> callers;
  for (int caller = 0; caller < 4; ++caller) {
    callers.emplace_back([&, caller] {
      // Tasks, nested ones too, see their caller's context on whichever thread runs them.
      const util::TaskContextScope scope(&identities[caller]);
      for (int round = 0; round < 50; ++round) {
        ParallelFor(16, [&](size_t index) {
          sum += index;
          ParallelFor(2, [&](size_t) { foreign_context += util::TaskContext() != &identities[caller]; });
        });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(sum, 4u * 50u * (15u * 16u / 2u));
  EXPECT_EQ(foreign_context, 0);
  EXPECT_EQ(util::TaskContext(), nullptr);
}

TEST(ThreadPoolTest, StartsWorkersLazilyAndNoneForOneThread) {
  // A forked child has no workers, whatever earlier tests started in this process.
  for (unsigned count : {1u, 3u}) {
    const int status = InChild([count] {
      if (ThreadsOfThisProcess() != 1) return 10;
      util::SetThreadCount(count);
      if (ThreadsOfThisProcess() != 1) return 11;  // setting the count starts nothing
      std::atomic<int> runs{0};
      ParallelFor(64, [&](size_t) { ParallelFor(4, [&](size_t) { runs++; }); });
      if (runs != 256) return 12;
      return ThreadsOfThisProcess() == count ? 0 : 13;
    });
    EXPECT_EQ(status, 0) << count << " threads";
  }
}

TEST(ThreadCountTest, SetCountWinsAndZeroMeansEveryProcessor) {
  test::ScopedThreadCount restore(1);
  util::SetThreadCount(3);
  EXPECT_EQ(util::ThreadCount(), 3u);
  util::SetThreadCount(0);
  EXPECT_EQ(util::ThreadCount(), AllowedProcessors());
}

TEST(ThreadCountTest, ComesFromTheEnvironment) {
  const unsigned all = AllowedProcessors();
  const struct {
    const char* value;
    unsigned expected;
  } kCases[] = {{"3", 3}, {"1", 1}, {"0", all}, {"", all}, {"two", all}, {"4x", all}, {"-1", all}};
  for (const auto& test_case : kCases) {
    const std::string command = std::string("TARN_TEST_PRINT_THREAD_COUNT=1 TARN_THREADS='") + test_case.value +
                                "' /proc/" + std::to_string(getpid()) + "/exe";
    FILE* output = popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), output) != nullptr) text += buffer;
    ASSERT_EQ(pclose(output), 0) << text;
    // The count is the last line; a warning about a bad value may come before it.
    text.erase(text.find_last_not_of('\n') + 1);
    const std::string last = text.substr(text.find_last_of('\n') + 1);
    EXPECT_EQ(last, std::to_string(test_case.expected)) << "TARN_THREADS='" << test_case.value << "'";
  }
}

#if defined(TARN_UNLOAD_CHECK_PATH) && defined(TARN_LIBRARY_PATH)
// A program that is not linked with the library loads it, compresses with several
// threads and unloads it: neither unloading nor leaving may hang or crash.
TEST(ThreadPoolTest, StopsCleanlyWhenTheLibraryIsUnloaded) {
  const std::filesystem::path fixtures = test::FixturesDir();
  const std::filesystem::path stack = fixtures / "tif-ijstack-pims-tiff_stack.tif";
  if (fixtures.empty() || !std::filesystem::exists(stack)) GTEST_SKIP() << "sample files absent";
  test::TempDir dir;
  const std::string command = std::string("TARN_THREADS=4 timeout 60 ") + TARN_UNLOAD_CHECK_PATH + " " +
                              TARN_LIBRARY_PATH + " '" + stack.string() + "' '" + (dir / "out.nivra").string() +
                              "' > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "out.nivra"));
}
#endif

}  // namespace
}  // namespace tarn
