// The file storage kind: containment, placement without replacing, leftovers.
#include "file_storage.hpp"

#include <atomic>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "leftovers.hpp"
#include "scratch_directory.hpp"
#include "temporary_name.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::Entries;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::Tree;
using testing::WriteFile;

ObjectRecord RecordFor(const std::string& content) {
  ObjectRecord record;
  record.encoding = Encoding::kVerbatim;
  record.size = record.source_size = record.object_size = content.size();
  record.checksum = record.source_checksum = record.object_checksum = ChecksumOf(content);
  return record;
}

void Put(Storage& storage, const std::string& name, const std::string& content) {
  auto pending = storage.BeginPut(name);
  pending->WriteAt(0, content.data(), content.size());
  pending->Commit(RecordFor(content));
}

class FileStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(scratch_ / "root");
    fs::create_directories(scratch_ / "outside");
  }

  ScratchDirectory scratch_;
  FileStorage storage_{"main", scratch_ / "root"};
};

TEST_F(FileStorageTest, LinksOutOfTheRootAreNeverFollowedAndNothingIsCreatedOnTheWay) {
  fs::create_directory_symlink(scratch_ / "outside", scratch_ / "root" / "link");
  fs::create_directory_symlink(scratch_ / "outside" / "gone", scratch_ / "root" / "dangling");
  fs::create_directories(scratch_ / "root" / "inner");
  fs::create_directory_symlink("inner", scratch_ / "root" / "inner-link");  // stays inside: fine
  WriteFile(scratch_ / "outside" / "x.nivra", "secret");
  for (const char* name : {"link/a.nivra", "link/new/deeper/a.nivra", "dangling/new/a.nivra", "dangling/a.nivra"}) {
    EXPECT_THROW(storage_.BeginPut(name), PermanentError) << name;
  }
  EXPECT_THROW(storage_.Stat("link/new/x.nivra"), PermanentError);
  EXPECT_FALSE(storage_.Stat("dangling/x.nivra"));  // leads nowhere: nothing is there
  EXPECT_THROW(storage_.Open("link/x.nivra"), PermanentError);
  EXPECT_EQ(Tree(scratch_ / "outside"), std::vector<std::string>{"x.nivra"});
  EXPECT_EQ(Tree(scratch_ / "root"), (std::vector<std::string>{"dangling", "inner", "inner-link", "link"}));

  Put(storage_, "inner-link/new/a.nivra", "data");
  EXPECT_EQ(ReadFile(scratch_ / "root" / "inner" / "new" / "a.nivra"), "data");
  EXPECT_THROW(FileStorage("all", "/").RequireReachable(), PermanentError);
}

TEST_F(FileStorageTest, OfConcurrentPutsOfOneNameExactlyOneIsPlaced) {
  constexpr int kWriters = 8;
  std::atomic<int> placed{0}, refused{0};
  {
    std::vector<std::jthread> writers;
    for (int i = 0; i < kWriters; ++i) {
      writers.emplace_back([&, i] {
        try {
          Put(storage_, "d/same.nivra", "writer " + std::to_string(i));
          ++placed;
        } catch (const ObjectExists& exists) {
          EXPECT_TRUE(exists.existing && exists.existing->record);
          ++refused;
        }
      });
    }
  }
  EXPECT_EQ(placed, 1);
  EXPECT_EQ(refused, kWriters - 1);
  EXPECT_EQ(Entries(scratch_ / "root" / "d"), (std::vector<std::string>{"same.nivra", "same.nivra.caddis.json"}));
  const auto info = storage_.Stat("d/same.nivra");
  ASSERT_TRUE(info && info->record);
  EXPECT_EQ(info->record->checksum, ChecksumOf(ReadFile(scratch_ / "root" / "d" / "same.nivra")));
}

TEST_F(FileStorageTest, AnAbandonedPutLeavesNothingAndARecordWithoutItsFileGivesWay) {
  {
    auto pending = storage_.BeginPut("a/b/c.nivra");
    pending->WriteAt(0, "partial", 7);
  }
  EXPECT_TRUE(Entries(scratch_ / "root").empty());

  // As left by a process killed between placing the record and the file.
  WriteFile(scratch_ / "root" / "c.nivra.caddis.json", RecordFor("old").ToText());
  Put(storage_, "c.nivra", "new");
  EXPECT_EQ(ReadFile(scratch_ / "root" / "c.nivra"), "new");
  EXPECT_EQ(storage_.Stat("c.nivra")->record->checksum, ChecksumOf("new"));

  // A file stored before records were kept is not replaced either, and keeps no stray record.
  WriteFile(scratch_ / "root" / "legacy.nivra", "legacy");
  try {
    Put(storage_, "legacy.nivra", "new");
    FAIL() << "replaced";
  } catch (const ObjectExists& exists) {
    ASSERT_TRUE(exists.existing);
    EXPECT_FALSE(exists.existing->record);
  }
  EXPECT_EQ(Entries(scratch_ / "root"), (std::vector<std::string>{"c.nivra", "c.nivra.caddis.json", "legacy.nivra"}));
}

TEST_F(FileStorageTest, SweepsOnlyStaleLeftoversOfThisLibrary) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string mine = TemporaryName("live.nivra");
  const std::string own_pid = "-" + std::to_string(::getpid()) + "-";
  auto with = [&](const std::string& from, const std::string& to) {
    std::string name = mine;
    return name.replace(name.find(from), from.size(), to);
  };
  const std::string dead = with(own_pid, "-" + std::to_string(child) + "-");
  const std::string elsewhere = with(mine.substr(kTemporaryPrefix.size(), 8), "00000000");
  const std::string old_elsewhere = with(mine.substr(kTemporaryPrefix.size(), 8), "11111111");
  // This process's pid, but last written before this process started: a reused pid.
  const std::string reused = TemporaryName("reused.nivra");
  fs::create_directories(scratch_ / "root" / "sub");
  for (const auto& name : {mine, dead, elsewhere, old_elsewhere, reused}) {
    WriteFile(scratch_ / "root" / "sub" / name, "x");
  }
  WriteFile(scratch_ / "root" / "sub" / ".caddis-part-not-ours", "x");
  WriteFile(scratch_ / "root" / "sub" / "kept.nivra", "x");
  WriteFile(scratch_ / "root" / "sub" / "kept.nivra.caddis.json", "x");
  WriteFile(scratch_ / "root" / "sub" / "fresh-orphan.nivra.caddis.json", "x");
  WriteFile(scratch_ / "root" / "sub" / "old-orphan.nivra.caddis.json", "x");
  const auto long_ago = fs::file_time_type::clock::now() - std::chrono::hours(49);
  fs::last_write_time(scratch_ / "root" / "sub" / old_elsewhere, long_ago);
  fs::last_write_time(scratch_ / "root" / "sub" / reused, fs::file_time_type::clock::now() - std::chrono::hours(2));
  fs::last_write_time(scratch_ / "root" / "sub" / "old-orphan.nivra.caddis.json", long_ago);

  EXPECT_EQ(SweepStorage(storage_, "", false), 0u);  // not recursive: nothing at the root
  EXPECT_EQ(SweepStorage(storage_, "", true), 4u);
  std::vector<std::string> expected{mine, elsewhere, ".caddis-part-not-ours", "fresh-orphan.nivra.caddis.json",
                                    "kept.nivra", "kept.nivra.caddis.json"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Entries(scratch_ / "root" / "sub"), expected);
}

}  // namespace
}  // namespace caddistransfer
