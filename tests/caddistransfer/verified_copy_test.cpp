#include "verified_copy.hpp"

#include <gtest/gtest.h>

#include "error.hpp"
#include "scratch_directory.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::Entries;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::WriteFile;

std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 2654435761u) >> 13);
  return text;
}

TEST(VerifiedCopy, CopiesEveryByteAndLeavesNoTemporary) {
  ScratchDirectory scratch;
  const std::string content = Pattern(3 * (1 << 20) + 17);  // several blocks and a tail
  WriteFile(scratch / "source", content);
  fs::create_directory(scratch / "out");
  TokenBucket unlimited;
  const CopyOutcome outcome = VerifiedCopy(scratch / "source", scratch / "out" / "copy", unlimited, Placement::kReplace);
  EXPECT_EQ(outcome.size, content.size());
  EXPECT_EQ(ReadFile(scratch / "out" / "copy"), content);
  EXPECT_EQ(Entries(scratch / "out"), std::vector<std::string>{"copy"});
}

TEST(VerifiedCopy, CopiesAnEmptyFile) {
  ScratchDirectory scratch;
  WriteFile(scratch / "source", "");
  TokenBucket unlimited;
  EXPECT_EQ(VerifiedCopy(scratch / "source", scratch / "copy", unlimited, Placement::kReplace).size, 0u);
  EXPECT_TRUE(fs::exists(scratch / "copy"));
}

TEST(VerifiedCopy, ReplacesOrKeepsAnExistingDestinationAsAsked) {
  ScratchDirectory scratch;
  WriteFile(scratch / "source", "new");
  WriteFile(scratch / "kept", "old");
  WriteFile(scratch / "replaced", "old");
  TokenBucket unlimited;
  EXPECT_THROW(VerifiedCopy(scratch / "source", scratch / "kept", unlimited, Placement::kNoReplace), PermanentError);
  EXPECT_EQ(ReadFile(scratch / "kept"), "old");
  VerifiedCopy(scratch / "source", scratch / "replaced", unlimited, Placement::kReplace);
  EXPECT_EQ(ReadFile(scratch / "replaced"), "new");
  EXPECT_EQ(Entries(scratch.path()), (std::vector<std::string>{"kept", "replaced", "source"}));
}

TEST(VerifiedCopy, FailuresLeaveNothingBehind) {
  ScratchDirectory scratch;
  WriteFile(scratch / "source", "data");
  TokenBucket unlimited;
  EXPECT_THROW(VerifiedCopy(scratch / "missing", scratch / "copy", unlimited, Placement::kReplace), TransferError);
  EXPECT_THROW(VerifiedCopy(scratch / "source", scratch / "no-dir" / "copy", unlimited, Placement::kReplace),
               TransferError);
  fs::create_directory(scratch / "dir-in-the-way");
  EXPECT_THROW(VerifiedCopy(scratch / "source", scratch / "dir-in-the-way", unlimited, Placement::kReplace),
               TransferError);
  EXPECT_EQ(Entries(scratch.path()), (std::vector<std::string>{"dir-in-the-way", "source"}));
  EXPECT_TRUE(Entries(scratch / "dir-in-the-way").empty());
}

TEST(VerifiedCopy, ASourceThatChangesDuringTheCopyFailsIt) {
  ScratchDirectory scratch;
  WriteFile(scratch / "source", Pattern(4 << 20));
  // The bucket's sleep runs between blocks: the source grows while it is being copied.
  bool appended = false;
  TokenBucket bucket([] { return TokenBucket::Clock::time_point{}; },
                     [&](TokenBucket::Clock::duration) {
                       if (!appended) std::ofstream(scratch / "source", std::ios::app) << "more";
                       appended = true;
                     });
  bucket.Configure(1, 0);
  fs::create_directory(scratch / "out");
  EXPECT_THROW(VerifiedCopy(scratch / "source", scratch / "out" / "copy", bucket, Placement::kReplace),
               TransferError);
  EXPECT_TRUE(Entries(scratch / "out").empty());
}

}  // namespace
}  // namespace caddistransfer
