// The sweep of unfinished outputs: a file goes only when its writer is proven gone, or,
// written by an earlier version that recorded no writer, when nothing has it open and it
// has been left alone for long. Everything else stays, whatever its name suggests.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "tarn/file/leftovers.hpp"
#include "tarn/file/temporary_name.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::util::ProcessIdentity;
using Clock = std::chrono::system_clock;

// A pid that was just freed: a child that has ended.
pid_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

ProcessIdentity Owner(std::function<void(ProcessIdentity&)> change) {
  ProcessIdentity owner = tarn::util::CurrentProcess();
  change(owner);
  return owner;
}

struct Case {
  const char* name;
  std::function<std::string()> file_name;
  // Last modified this long ago; BootTime() minus this when `before_boot`.
  std::chrono::hours age;
  bool before_boot;
  bool held_open;  // by this process
  bool symlink;
  bool removed;
};

const std::vector<Case>& Cases() {
  static const auto owned = [](std::function<void(ProcessIdentity&)> change) {
    return [change] { return tarn::OwnedTemporaryName("out.nivra", Owner(change)); };
  };
  static const auto keep = [](ProcessIdentity&) {};
  static const auto unowned = [] { return std::string(".out.nivra.tarn-Ab3dE9"); };
  static const std::chrono::hours now{0};
  static const std::chrono::hours old{2};
  static const std::vector<Case> cases = {
      {"ThisProcess", owned(keep), old, false, false, false, false},
      {"EndedProcess", owned([](ProcessIdentity& o) { o.pid = EndedProcess(); }), now, false, false, false, true},
      {"ReusedPid", owned([](ProcessIdentity& o) { o.start += 1; }), now, false, false, false, true},
      {"UnknownStart", owned([](ProcessIdentity& o) { o.start = 0; }), old, false, false, false, false},
      {"OtherMachine", owned([](ProcessIdentity& o) { o.machine = o.machine == "0badf00d" ? "0badf00e" : "0badf00d"; }),
       std::chrono::hours(48), false, false, false, false},
      {"EarlierBoot", owned([](ProcessIdentity& o) { o.boot = o.boot == "0badf00d" ? "0badf00e" : "0badf00d"; }), old,
       true, false, false, true},
      {"OtherPidNamespace", owned([](ProcessIdentity& o) { o.boot = o.boot == "0badf00d" ? "0badf00e" : "0badf00d"; }),
       now, false, false, false, false},
      {"UnownedAndOld", unowned, old, false, false, false, true},
      {"UnownedButOpen", unowned, old, false, true, false, false},
      {"UnownedAndRecent", unowned, now, false, false, false, false},
      {"UnownedLink", unowned, old, false, false, true, false},
      {"ShortSuffix", [] { return std::string(".out.nivra.tarn-Ab3dE"); }, old, false, false, false, false},
      {"NotHidden", [] { return std::string("out.nivra.tarn-Ab3dE9"); }, old, false, false, false, false},
  };
  return cases;
}

class Leftovers : public ::testing::TestWithParam<size_t> {};

TEST_P(Leftovers, GoOnlyWhenProvenAbandoned) {
  const Case& c = Cases()[GetParam()];
  tarn::test::TempDir dir;
  const std::string name = c.file_name();
  const fs::path path = dir / name;
  const std::string content(1000 + GetParam(), 'x');
  if (c.symlink) {
    tarn::test::WriteFile(dir / "target", content);
    fs::create_symlink("target", path);
  } else {
    tarn::test::WriteFile(path, content);
  }
  const auto boot = tarn::util::BootTime();
  ASSERT_TRUE(boot);
  const Clock::time_point modified = (c.before_boot ? *boot : Clock::now()) - c.age;
  const timespec times[2] = {{0, UTIME_OMIT},
                             {Clock::to_time_t(modified), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  const int held = c.held_open ? ::open(path.c_str(), O_RDONLY) : -1;

  const std::vector<tarn::RemovedLeftover> removed = tarn::RemoveLeftovers(dir.path());
  if (held >= 0) ::close(held);
  EXPECT_EQ(fs::exists(fs::symlink_status(path)), !c.removed) << name;
  ASSERT_EQ(removed.size(), c.removed ? 1u : 0u) << name;
  if (c.removed) {
    EXPECT_EQ(removed[0].path, path);
    EXPECT_EQ(removed[0].size, content.size());
  }
  if (c.symlink) {
    EXPECT_TRUE(fs::exists(dir / "target"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Leftovers, ::testing::Range<size_t>(0, Cases().size()),
                         [](const auto& info) { return std::string(Cases()[info.param].name); });

TEST(LeftoversThroughTheCInterface, CountsReportsAndRefusesUnreadableFolders) {
  tarn::test::TempDir dir;
  tarn::test::WriteFile(dir / "kept.tif", "data");
  const fs::path left = dir / tarn::OwnedTemporaryName("a.tif.nivra", Owner([](ProcessIdentity& o) { o.start += 1; }));
  tarn::test::WriteFile(left, "partial");
  std::vector<std::pair<std::string, uint64_t>> seen;
  const auto collect = [](const char* path, uint64_t size, void* context) {
    static_cast<std::vector<std::pair<std::string, uint64_t>>*>(context)->emplace_back(path, size);
  };
  TarnSetLogLevel(6);
  EXPECT_EQ(TarnRemoveLeftovers(dir.path().c_str(), collect, &seen), 1);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, uint64_t>>{{left.string(), 7}}));
  EXPECT_EQ(TarnRemoveLeftovers(dir.path().c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(TarnRemoveLeftovers((dir / "missing").c_str(), nullptr, nullptr), -1);
  TarnSetLogLevel(2);
  EXPECT_TRUE(fs::exists(dir / "kept.tif"));
}

}  // namespace
