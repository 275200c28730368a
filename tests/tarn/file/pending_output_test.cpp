// Outputs in progress: unnamed where the file system allows, else under a name that
// records this process; given the destination's name only when committed, never
// replacing a file unless asked, and gone without a trace when given up or stopped.
#include <unistd.h>

#include <variant>

#include <gtest/gtest.h>

#include "tarn/file/destination.hpp"
#include "tarn/file/pending_output.hpp"
#include "tarn/file/stop.hpp"
#include "tarn/file/temporary_name.hpp"
#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using tarn::test::ReadFile;
using tarn::test::WriteFile;

enum class End { kCommit, kGiveUp, kStop };

struct Case {
  const char* name;
  bool unnamed;
  bool existing;   // the destination holds an earlier file
  bool overwrite;  // without, the earlier file appears while the output is written
  End end;
  bool replaced;   // the destination holds the new bytes at the end
};

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class PendingOutputs : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { tarn::hooks::SetUnnamedOutputs(true); }
  tarn::test::TempDir dir_;
};

TEST_P(PendingOutputs, OnlyACommittedOutputEverHasAName) {
  const Case& c = GetParam();
  tarn::hooks::SetUnnamedOutputs(c.unnamed);
  const fs::path destination = dir_ / "out.nivra";
  const bool appears_later = c.existing && !c.overwrite;
  if (c.existing && !appears_later) WriteFile(destination, "earlier");
  const std::string bytes = tarn::test::RandomBytes(1 << 20);

  bool refused = false;
  {
    tarn::DestinationFile output(dir_ / "source", destination, c.overwrite, false);
    if (appears_later) WriteFile(destination, "earlier");
    output.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    output.stream().flush();
    // While written: no new name at all, or one hidden name owned by this process.
    std::vector<std::string> during = Names(dir_.path());
    std::erase(during, "out.nivra");
    if (c.unnamed) {
      EXPECT_EQ(during, std::vector<std::string>{});
    } else {
      ASSERT_EQ(during.size(), 1u);
      const auto kind = tarn::ClassifyTemporaryName(during[0]);
      const auto* owner = std::get_if<tarn::util::ProcessIdentity>(&kind);
      ASSERT_NE(owner, nullptr) << during[0];
      EXPECT_EQ(owner->pid, ::getpid());
      EXPECT_EQ(owner->start, tarn::util::CurrentProcess().start);
      EXPECT_TRUE(during[0].starts_with(".out.nivra.tarn-")) << during[0];
    }
    if (c.end == End::kStop) {
      tarn::RequestStop();
      try {
        output.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
        output.stream().flush();
        ADD_FAILURE() << "a write after a stop request succeeded";
      } catch (const tarn::Error& error) {
        EXPECT_EQ(error.status(), kTarnStatusStopped) << error.what();
      }
      EXPECT_THROW(output.Commit(), tarn::Stopped);
    } else {
      output.stream().write(bytes.data() + bytes.size() / 2, static_cast<std::streamsize>(bytes.size() / 2));
      if (c.end == End::kCommit) {
        try {
          output.Commit();
        } catch (const fs::filesystem_error& error) {
          EXPECT_EQ(error.code(), std::errc::file_exists);
          refused = true;
        }
      }
    }
  }
  EXPECT_EQ(refused, c.existing && !c.overwrite && c.end == End::kCommit);
  const std::vector<std::string> expected =
      c.existing || c.replaced ? std::vector<std::string>{"out.nivra"} : std::vector<std::string>{};
  EXPECT_EQ(Names(dir_.path()), expected);
  if (c.replaced) {
    EXPECT_EQ(ReadFile(destination), bytes);
  } else if (c.existing) {
    EXPECT_EQ(ReadFile(destination), "earlier");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PendingOutputs,
    ::testing::Values(Case{"UnnamedNew", true, false, true, End::kCommit, true},
                      Case{"UnnamedReplacing", true, true, true, End::kCommit, true},
                      Case{"UnnamedRefused", true, true, false, End::kCommit, false},
                      Case{"UnnamedGivenUp", true, true, true, End::kGiveUp, false},
                      Case{"UnnamedStopped", true, true, true, End::kStop, false},
                      Case{"NamedNew", false, false, true, End::kCommit, true},
                      Case{"NamedReplacing", false, true, true, End::kCommit, true},
                      Case{"NamedRefused", false, true, false, End::kCommit, false},
                      Case{"NamedGivenUp", false, false, true, End::kGiveUp, false},
                      Case{"NamedStopped", false, true, true, End::kStop, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop stops the operations running when it is asked for, not the ones begun later.
TEST(StopRequests, OnlyOperationsRunningAtTheRequestStop) {
  tarn::test::TempDir dir;
  const tarn::StopCheck earlier;
  tarn::RequestStop();
  EXPECT_TRUE(earlier.Requested());
  tarn::DestinationFile later(dir / "source", dir / "later", true, false);
  later.stream() << "written after the request";
  later.Commit();
  EXPECT_EQ(ReadFile(dir / "later"), "written after the request");
}

}  // namespace
