// Uploads, downloads and queues through libtarn into scratch storages.
#include "transfers.hpp"

#include <thread>

#include <gtest/gtest.h>

#include "error.hpp"
#include "scratch_directory.hpp"
#include "transfer_queue.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::Entries;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::WriteFile;

std::string Noise(std::size_t size, unsigned seed) {
  std::string text(size, '\0');
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& c : text) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    c = static_cast<char>(state);
  }
  return text;
}

class Transfers : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(scratch_ / "main");
    fs::create_directories(scratch_ / "copy");
    fs::create_directories(scratch_ / "out");
    manager_.SetStorageRoot("main", scratch_ / "main");
    manager_.SetStorageRoot("copy", scratch_ / "copy");
  }

  ScratchDirectory scratch_;
  Manager manager_{1};
};

TEST_F(Transfers, UploadToEveryStorageAndDownloadRestoresTheBytes) {
  const std::string content = Noise(2'500'000, 1);
  WriteFile(scratch_ / "scan.raw", content);
  UploadFile(manager_, (scratch_ / "scan.raw").string(), "2026/scan.raw", std::nullopt, {});
  EXPECT_EQ(Entries(scratch_ / "main" / "2026"), std::vector<std::string>{"scan.raw.nivra"});
  EXPECT_EQ(Entries(scratch_ / "copy" / "2026"), std::vector<std::string>{"scan.raw.nivra"});

  fs::remove_all(scratch_ / "main" / "2026");  // the first storage lacks it: the next one serves
  DownloadFile(manager_, "2026/scan.raw.nivra", (scratch_ / "out").string(), {"main", "copy"});
  EXPECT_EQ(Entries(scratch_ / "out"), std::vector<std::string>{"scan.raw"});
  EXPECT_EQ(ReadFile(scratch_ / "out" / "scan.raw"), content);
}

TEST_F(Transfers, RealSampleFilesRoundTrip) {
  const fs::path fixtures = TARN_FIXTURES_DIR;
  if (!fs::is_directory(fixtures)) GTEST_SKIP() << "no sample files";
  for (const char* name : {"tif-aicsimageio-s_1_t_1_c_1_z_1.tiff", "dng-blackmagic-pocket4k.dng",
                           "czi-czitools-DAPI_GFP.czi"}) {
    if (!fs::exists(fixtures / name)) continue;
    UploadFile(manager_, (fixtures / name).string(), name, std::nullopt, {"main"});
    DownloadFile(manager_, name, (scratch_ / "out").string(), {"main"});
    EXPECT_EQ(ReadFile(scratch_ / "out" / name), ReadFile(fixtures / name)) << name;
  }
}

TEST_F(Transfers, RefusedTargetsWriteNothingAnywhere) {
  WriteFile(scratch_ / "a.raw", "data");
  for (const char* target : {"../a.raw", "x/../../a.raw", "/tmp/a.raw", ""}) {
    EXPECT_THROW(UploadFile(manager_, (scratch_ / "a.raw").string(), target, std::nullopt, {}), PermanentError)
        << target;
  }
  EXPECT_THROW(UploadFile(manager_, (scratch_ / "a.raw").string(), "a.raw", std::nullopt, {"elsewhere"}),
               PermanentError);
  EXPECT_THROW(UploadFile(manager_, (scratch_ / "missing.raw").string(), "a.raw", std::nullopt, {}),
               PermanentError);
  EXPECT_TRUE(Entries(scratch_ / "main").empty());
  EXPECT_TRUE(Entries(scratch_ / "copy").empty());
}

TEST_F(Transfers, ASourceAlreadyAtTheTargetPlaceIsNotReplaced) {
  const std::string content = Noise(5000, 3);
  WriteFile(scratch_ / "main" / "in-place.nivra", content);
  EXPECT_THROW(UploadFile(manager_, (scratch_ / "main" / "in-place.nivra").string(), "in-place", std::nullopt,
                          {"main"}),
               TransferError);
  EXPECT_EQ(ReadFile(scratch_ / "main" / "in-place.nivra"), content);
  EXPECT_EQ(Entries(scratch_ / "main"), std::vector<std::string>{"in-place.nivra"});
}

TEST_F(Transfers, ASymbolicLinkOutOfTheStorageIsNotFollowed) {
  fs::create_directories(scratch_ / "outside");
  fs::create_directory_symlink(scratch_ / "outside", scratch_ / "main" / "link");
  WriteFile(scratch_ / "a.raw", "data");
  manager_.SetRetries(0);
  EXPECT_THROW(UploadFile(manager_, (scratch_ / "a.raw").string(), "link/a.raw", std::nullopt, {"main"}),
               TransferError);
  EXPECT_TRUE(Entries(scratch_ / "outside").empty());
}

TEST_F(Transfers, AFailedStorageIsNamedAndTheOthersStillGetTheFile) {
  WriteFile(scratch_ / "a.raw", "data");
  manager_.SetRetries(0);
  fs::remove(scratch_ / "copy");
  try {
    UploadFile(manager_, (scratch_ / "a.raw").string(), "a.raw", std::nullopt, {});
    FAIL() << "no error";
  } catch (const TransferError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("failed on storage 'copy': the root"), std::string::npos) << message;
    EXPECT_EQ(message.find("'main'"), std::string::npos) << message;
  }
  EXPECT_EQ(Entries(scratch_ / "main"), std::vector<std::string>{"a.raw.nivra"});
  EXPECT_FALSE(fs::exists(scratch_ / "copy"));  // a missing root is not created
}

TEST_F(Transfers, AStorageThatComesBackIsReachedByARetry) {
  WriteFile(scratch_ / "a.raw", "data");
  fs::remove(scratch_ / "copy");
  std::jthread remount([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    fs::create_directories(scratch_ / "copy");
  });
  UploadFile(manager_, (scratch_ / "a.raw").string(), "a.raw", std::nullopt, {"copy"});
  EXPECT_EQ(Entries(scratch_ / "copy"), std::vector<std::string>{"a.raw.nivra"});
}

TEST_F(Transfers, DownloadsNeverReplaceAFileAndLeaveNoWorkBehind) {
  WriteFile(scratch_ / "a.raw", "new");
  UploadFile(manager_, (scratch_ / "a.raw").string(), "a.raw", std::nullopt, {"main"});
  WriteFile(scratch_ / "out" / "a.raw", "precious");
  EXPECT_THROW(DownloadFile(manager_, "a.raw", (scratch_ / "out").string(), {}), PermanentError);
  EXPECT_EQ(ReadFile(scratch_ / "out" / "a.raw"), "precious");
  EXPECT_THROW(DownloadFile(manager_, "b.raw", (scratch_ / "out").string(), {}), PermanentError);
  EXPECT_THROW(DownloadFile(manager_, "a.raw", (scratch_ / "no-such-dir").string(), {}), PermanentError);
  EXPECT_EQ(Entries(scratch_ / "out"), std::vector<std::string>{"a.raw"});
}

TEST_F(Transfers, ACorruptStoredFileFailsTheDownloadCleanly) {
  WriteFile(scratch_ / "main" / "broken.raw.nivra", "this is not a compressed file at all");
  EXPECT_THROW(DownloadFile(manager_, "broken.raw", (scratch_ / "out").string(), {"main"}), PermanentError);
  EXPECT_TRUE(Entries(scratch_ / "out").empty());
}

TEST_F(Transfers, ConcurrentUploadsOnOneManagerAllArrive) {
  std::vector<std::string> contents;
  for (int i = 0; i < 6; ++i) {
    contents.push_back(Noise(300'000 + i, i + 10));
    WriteFile(scratch_ / ("f" + std::to_string(i)), contents.back());
  }
  manager_.SetStorageConcurrency(2);
  {
    std::vector<std::jthread> uploads;
    for (int i = 0; i < 6; ++i) {
      uploads.emplace_back([&, i] {
        UploadFile(manager_, (scratch_ / ("f" + std::to_string(i))).string(), "same-dir/f" + std::to_string(i),
                   std::nullopt, {});
      });
    }
  }
  for (int i = 0; i < 6; ++i) {
    DownloadFile(manager_, "same-dir/f" + std::to_string(i), (scratch_ / "out").string(), {"copy"});
    EXPECT_EQ(ReadFile(scratch_ / "out" / ("f" + std::to_string(i))), contents[i]);
  }
  EXPECT_EQ(Entries(scratch_ / "main" / "same-dir").size(), 6u);
}

TEST_F(Transfers, AQueueRunsEveryItemAndKeepsOnlyTheFailedOnes) {
  for (int i = 0; i < 5; ++i) WriteFile(scratch_ / ("q" + std::to_string(i)), Noise(1000, i));
  std::vector<std::string> sources;
  for (int i = 0; i < 5; ++i) sources.push_back((scratch_ / ("q" + std::to_string(i))).string());
  EnqueueUploadItems(manager_, "night", sources, "batch", std::nullopt, {"main"});
  fs::remove(scratch_ / "q3");  // disappears before the queue runs
  manager_.SetTransportConcurrency(3);
  try {
    RunQueue(manager_, "night");
    FAIL() << "no error";
  } catch (const TransferError& error) {
    EXPECT_NE(std::string(error.what()).find("1 of 5 items of queue 'night' failed and stay queued: upload "),
              std::string::npos)
        << error.what();
  }
  EXPECT_EQ(Entries(scratch_ / "main" / "batch").size(), 4u);
  WriteFile(scratch_ / "q3", "back again");
  RunQueue(manager_, "night");
  EXPECT_EQ(Entries(scratch_ / "main" / "batch").size(), 5u);
  EXPECT_THROW(RunQueue(manager_, "night"), PermanentError);
}

TEST_F(Transfers, CheckStorageWritesReadsAndRemovesAProbe) {
  EXPECT_NO_THROW(CheckStorageRoot(manager_, "main"));
  EXPECT_TRUE(Entries(scratch_ / "main").empty());
  manager_.SetRetries(0);
  fs::remove(scratch_ / "copy");
  EXPECT_THROW(CheckStorageRoot(manager_, "copy"), TransferError);
  EXPECT_THROW(CheckStorageRoot(manager_, "unknown"), PermanentError);
}

TEST_F(Transfers, RelocationNeedsAnExistingDirectory) {
  EXPECT_THROW(RelocateStorageRoot(manager_, "main", "file://" + (scratch_ / "nowhere").string()), PermanentError);
  EXPECT_EQ(manager_.Storage("main").root, scratch_ / "main");
  RelocateStorageRoot(manager_, "new", "file://" + (scratch_ / "out").string());
  EXPECT_EQ(manager_.Storage("new").root, scratch_ / "out");
}

}  // namespace
}  // namespace caddistransfer
