// Uploads, downloads and queues through libtarn into scratch storages.
#include "transfers.hpp"

#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "error.hpp"
#include "file_storage.hpp"
#include "scratch_directory.hpp"
#include "tarn/file/temporary_name.hpp"
#include "tarn/tarn.h"
#include "transfer_queue.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::Entries;
using testing::ReadFile;
using testing::ScratchDirectory;
using testing::Tree;
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

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Transfers : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"main", "copy", "out"}) fs::create_directories(scratch_ / folder);
    manager_.SetStorageRoot("main", scratch_ / "main");
    manager_.SetStorageRoot("copy", scratch_ / "copy");
  }

  // Writes `content` to scratch/name and uploads it.
  void UploadNew(const std::string& name, const std::string& content, const std::string& target,
                 const std::vector<std::string>& storages = {"main"}) {
    WriteFile(scratch_ / name, content);
    UploadFile(manager_, (scratch_ / name).string(), target, std::nullopt, storages);
  }

  ScratchDirectory scratch_;
  Manager manager_{1};
};

TEST_F(Transfers, UploadToEveryStorageAndDownloadRestoresTheBytes) {
  const std::string content = Noise(2'500'000, 1);
  UploadNew("scan.raw", content, "2026/scan.raw", {});
  for (const char* storage : {"main", "copy"}) {
    EXPECT_EQ(Entries(scratch_ / storage / "2026"), (std::vector<std::string>{"scan.raw.nivra", "scan.raw.nivra.caddis.json"}));
  }
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

// Single bits flipped in stored files and records: a download either fails and writes
// nothing, or gives back exactly the uploaded bytes. Never anything else.
TEST_F(Transfers, BitFlipsInStoredFilesAreNeverRestoredSilently) {
  const fs::path fixtures = TARN_FIXTURES_DIR;
  if (!fs::is_directory(fixtures)) GTEST_SKIP() << "no sample files";
  constexpr int kFlipsPerFile = 25;
  int detected = 0, harmless = 0, silent = 0;
  for (const char* name : {"tif-aicsimageio-s_1_t_1_c_1_z_1.tiff", "tif-czitools-CH1_16bit.tif",
                           "tif-ijhyper-pyimagej-test_still_stack.tif", "tif-pyimagej-test_image.tif",
                           "nd2-pims-cluster.nd2", "nd2-arcadia-cerevisiae.nd2", "czi-czitools-DAPI_GFP.czi",
                           "czi-czitools-FOV7_HV110_P0500510000.czi"}) {
    ASSERT_TRUE(fs::exists(fixtures / name)) << name;
    const std::string original = ReadFile(fixtures / name);
    UploadFile(manager_, (fixtures / name).string(), name, std::nullopt, {"main", "copy"});
    const fs::path object = scratch_ / "main" / (std::string(name) + ".nivra");
    const fs::path record = scratch_ / "main" / (std::string(name) + ".nivra.caddis.json");
    const std::string stored = ReadFile(object);
    const std::string stored_record = ReadFile(record);
    std::mt19937_64 random(std::hash<std::string>{}(name));
    for (int flip = 0; flip < kFlipsPerFile; ++flip) {
      // One flip in eight lands in the record.
      const bool in_record = flip % 8 == 7;
      std::string damaged = in_record ? stored_record : stored;
      damaged[random() % damaged.size()] ^= static_cast<char>(1 << (random() % 8));
      WriteFile(in_record ? record : object, damaged);
      const fs::path out = scratch_ / "out" / std::to_string(flip);
      fs::create_directories(out);
      try {
        DownloadFile(manager_, name, out.string(), {"main"});
        (ReadFile(out / name) == original ? harmless : silent) += 1;
      } catch (const TransferError& error) {
        ++detected;
        EXPECT_TRUE(Entries(out).empty()) << error.what();
      }
      WriteFile(object, stored);
      WriteFile(record, stored_record);
    }
    // A damaged first copy gives way to an intact second one.
    WriteFile(object, stored.substr(0, stored.size() / 2));
    const fs::path out = scratch_ / "out" / "fallback";
    fs::create_directories(out);
    DownloadFile(manager_, name, out.string(), {"main", "copy"});
    EXPECT_EQ(ReadFile(out / name), original) << name;
    fs::remove_all(scratch_ / "out");
  }
  EXPECT_EQ(silent, 0);
  EXPECT_EQ(detected + harmless + silent, 8 * kFlipsPerFile);
  std::printf("%d flips detected, %d harmless, %d silent\n", detected, harmless, silent);
}

TEST_F(Transfers, AStoredFileIsNeverReplacedUnlessItHoldsTheSameContent) {
  UploadNew("a.raw", "first", "t.raw");
  const auto placed = fs::last_write_time(scratch_ / "main" / "t.raw.nivra");
  UploadNew("same.raw", "first", "t.raw");  // the same content: nothing to do
  EXPECT_EQ(fs::last_write_time(scratch_ / "main" / "t.raw.nivra"), placed);

  const std::string refused = MessageOf([&] { UploadNew("b.raw", "second", "t.raw"); });
  EXPECT_TRUE(Contains(refused, "storage 'main': it already holds t.raw.nivra with other content; delete it there first"))
      << refused;
  FileStorage(manager_.Storage("main").id, manager_.Storage("main").root).Remove("t.raw.nivra");
  UploadNew("b.raw", "second", "t.raw");
  DownloadFile(manager_, "t.raw", (scratch_ / "out").string(), {});
  EXPECT_EQ(ReadFile(scratch_ / "out" / "t.raw"), "second");

  WriteFile(scratch_ / "main" / "legacy.raw.nivra", "stored before records were kept");
  EXPECT_TRUE(Contains(MessageOf([&] { UploadNew("c.raw", "third", "legacy.raw"); }), "stored without a checksum record"));
  EXPECT_EQ(ReadFile(scratch_ / "main" / "legacy.raw.nivra"), "stored before records were kept");
}

TEST_F(Transfers, OfConcurrentUploadsToOneTargetExactlyOneSucceeds) {
  constexpr int kUploads = 6;
  for (int i = 0; i < kUploads; ++i) WriteFile(scratch_ / ("f" + std::to_string(i)), Noise(300'000 + i, i + 10));
  std::vector<std::string> errors(kUploads);
  {
    std::vector<std::jthread> uploads;
    for (int i = 0; i < kUploads; ++i) {
      uploads.emplace_back([&, i] {
        errors[i] = MessageOf([&] {
          UploadFile(manager_, (scratch_ / ("f" + std::to_string(i))).string(), "one/target", std::nullopt, {"main"});
        });
      });
    }
  }
  int winner = -1;
  for (int i = 0; i < kUploads; ++i) {
    if (errors[i] == "no error") {
      EXPECT_EQ(winner, -1) << "two uploads succeeded";
      winner = i;
    } else {
      EXPECT_TRUE(Contains(errors[i], "already holds one/target.nivra") || Contains(errors[i], "another upload is placing"))
          << errors[i];
    }
  }
  ASSERT_NE(winner, -1);
  DownloadFile(manager_, "one/target", (scratch_ / "out").string(), {"main"});
  EXPECT_EQ(ReadFile(scratch_ / "out" / "target"), ReadFile(scratch_ / ("f" + std::to_string(winner))));
  EXPECT_EQ(Entries(scratch_ / "main" / "one"), (std::vector<std::string>{"target.nivra", "target.nivra.caddis.json"}));
}

TEST_F(Transfers, QueueItemsThatWouldWriteOneFileAreRefusedNamingBoth) {
  for (const char* well : {"well1", "well2"}) {
    fs::create_directories(scratch_ / well);
    WriteFile(scratch_ / well / "img.raw", well);
  }
  const std::string first = (scratch_ / "well1" / "img.raw").string();
  const std::string second = (scratch_ / "well2" / "img.raw").string();
  const std::string refused =
      MessageOf([&] { EnqueueUploadItems(manager_, "q", {first, second}, "plate", std::nullopt, {"main"}); });
  EXPECT_TRUE(Contains(refused, "items " + first + " and " + second + " of queue 'q' would both be stored as plate/img.raw.nivra"))
      << refused;
  // Also against what is queued already, and for downloads into one folder.
  EnqueueUploadItems(manager_, "q", {first}, "plate/", std::nullopt, {});
  EXPECT_THROW(EnqueueUploadItems(manager_, "q", {second}, "plate/", std::nullopt, {"copy"}), PermanentError);
  EXPECT_THROW(EnqueueDownloadItems(manager_, "d", {"a/img.raw", "b/img.raw"}, (scratch_ / "out").string(), {}),
               PermanentError);

  // Clashing items that reached a queue anyway run not at all.
  manager_.Enqueue("q", {UploadItem{second, "plate/img.raw", std::nullopt, {"main"}}});
  EXPECT_TRUE(Contains(MessageOf([&] { RunQueue(manager_, "q"); }), "nothing was written"));
  EXPECT_TRUE(Entries(scratch_ / "main").empty());
  EXPECT_THROW(RunQueue(manager_, "q"), PermanentError);  // both were taken off
}

TEST_F(Transfers, ALinkOutOfTheStorageCreatesNothingOutside) {
  fs::create_directories(scratch_ / "outside");
  fs::create_directory_symlink(scratch_ / "outside", scratch_ / "main" / "link");
  for (const char* target : {"link/a.raw", "link/new/deeper/a.raw"}) {
    EXPECT_THROW(UploadNew("a.raw", "data", target), TransferError) << target;
  }
  EXPECT_TRUE(Entries(scratch_ / "outside").empty());
  EXPECT_EQ(Tree(scratch_ / "main"), std::vector<std::string>{"link"});
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
  EXPECT_THROW(UploadFile(manager_, (scratch_ / "a.raw").string(), "a.raw", "no-such-camera", {}), PermanentError);
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

// A child process is killed mid-transfer; a retry in a new manager must succeed and
// leave only the finished files.
TEST_F(Transfers, ATransferKilledMidwayLeavesNothingOnceRetried) {
  const std::string content = Noise(6'000'000, 5);
  WriteFile(scratch_ / "big.raw", content);
  UploadFile(manager_, (scratch_ / "big.raw").string(), "kept/big.raw", std::nullopt, {"main"});
  auto kill_while = [&](const fs::path& watched, const std::function<void(Manager&)>& transfer) {
    const pid_t child = ::fork();
    if (child == 0) {
      Manager slow(2);
      slow.SetStorageRoot("main", scratch_ / "main");
      slow.SetUploadLimit(1e6);
      slow.SetDownloadLimit(1e6);
      slow.SetUploadBurst(0);
      slow.SetDownloadBurst(0);
      try {
        transfer(slow);
      } catch (...) {
      }
      ::_exit(0);
    }
    // Killed once a temporary has grown in the watched folder: a named one, or an
    // unnamed one the child has open there (its /proc link names the folder).
    bool seen = false;
    bool unnamed = false;
    for (int i = 0; i < 3000 && !seen; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::error_code error;
      for (const auto& entry : fs::recursive_directory_iterator(watched, error)) {
        const std::string name = entry.path().filename().string();
        seen = seen || ((name.rfind(".caddis-part-", 0) == 0 || tarn::IsTemporaryName(name)) && entry.file_size(error) > 0);
      }
      const fs::path descriptors = "/proc/" + std::to_string(child) + "/fd";
      for (const auto& entry : fs::directory_iterator(descriptors, error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.rfind(watched.string() + "/", 0) == 0 && target.ends_with(" (deleted)") &&
            fs::file_size(entry.path(), error) > 0) {
          seen = unnamed = true;
        }
      }
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(seen) << "the transfer ended before it could be killed";
    // An unnamed file went with its process: nothing waits for a sweep.
    if (unnamed) {
      EXPECT_EQ(Tree(watched), std::vector<std::string>{});
    }
  };

  kill_while(scratch_ / "main", [&](Manager& slow) {
    UploadFile(slow, (scratch_ / "big.raw").string(), "new/big.raw", std::nullopt, {"main"});
  });
  kill_while(scratch_ / "out", [&](Manager& slow) {
    DownloadFile(slow, "kept/big.raw", (scratch_ / "out").string(), {"main"});
  });
  Manager retry(3);
  retry.SetStorageRoot("main", scratch_ / "main");
  UploadFile(retry, (scratch_ / "big.raw").string(), "new/big.raw", std::nullopt, {"main"});
  DownloadFile(retry, "kept/big.raw", (scratch_ / "out").string(), {"main"});
  EXPECT_EQ(Tree(scratch_ / "main"), (std::vector<std::string>{"kept", "kept/big.raw.nivra", "kept/big.raw.nivra.caddis.json",
                                                               "new", "new/big.raw.nivra", "new/big.raw.nivra.caddis.json"}));
  EXPECT_EQ(Tree(scratch_ / "out"), std::vector<std::string>{"big.raw"});
  EXPECT_EQ(ReadFile(scratch_ / "out" / "big.raw"), content);
}

TEST_F(Transfers, PermissionBitsAndModificationTimesSurvive) {
  struct Case {
    const char* name;
    fs::perms mode;
    int64_t modified_ns;
  };
  for (const Case& item : {Case{"private.raw", fs::perms(0600), 1'700'000'000'123'456'789},
                           Case{"group.raw", fs::perms(0640), 946'684'800'000'000'001},
                           Case{"tool.sh", fs::perms(0755), 1'234'567'890'000'000'000},
                           Case{"frozen.raw", fs::perms(0444), 86'400'000'000'000}}) {
    WriteFile(scratch_ / item.name, Noise(10'000, 7));
    fs::permissions(scratch_ / item.name, item.mode);
    const timespec times[2] = {{0, UTIME_OMIT}, {item.modified_ns / 1'000'000'000, item.modified_ns % 1'000'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (scratch_ / item.name).c_str(), times, 0), 0);
    UploadFile(manager_, (scratch_ / item.name).string(), item.name, std::nullopt, {"main"});
    DownloadFile(manager_, item.name, (scratch_ / "out").string(), {"main"});
    struct stat restored {};
    ASSERT_EQ(::stat((scratch_ / "out" / item.name).c_str(), &restored), 0);
    EXPECT_EQ(restored.st_mode & 0777, static_cast<mode_t>(item.mode)) << item.name;
    EXPECT_EQ(restored.st_mtim.tv_sec * 1'000'000'000 + restored.st_mtim.tv_nsec, item.modified_ns) << item.name;
  }
}

TEST_F(Transfers, EmptyAndAlreadyCompressedFilesRoundTripUnderTheirOwnNames) {
  struct Case {
    const char* source;
    std::string content;
    const char* target;
    const char* stored;
    const char* download_as;
    const char* restored;
  };
  const std::string compressed = Noise(70'000, 9);
  for (const Case& item : {Case{"empty.raw", "", "empty.raw", "empty.raw.nivra", "empty.raw", "empty.raw"},
                           Case{"archive.nivra", compressed, "archive.nivra", "archive.nivra", "archive.nivra",
                                "archive.nivra"},
                           Case{"run.NIVRA", compressed, "runs/", "runs/run.NIVRA.nivra", "runs/run.NIVRA", "run.NIVRA"},
                           Case{"b.nivra", compressed, "renamed", "renamed.nivra", "renamed", "renamed"}}) {
    UploadNew(item.source, item.content, item.target);
    EXPECT_TRUE(fs::exists(scratch_ / "main" / item.stored)) << item.stored;
    const fs::path out = scratch_ / "out" / item.source;
    fs::create_directories(out);
    DownloadFile(manager_, item.download_as, out.string(), {"main"});
    EXPECT_EQ(Entries(out), std::vector<std::string>{item.restored}) << item.source;
    EXPECT_EQ(ReadFile(out / item.restored), item.content) << item.source;
  }
}

TEST_F(Transfers, FilesStoredWithoutARecordStillDownload) {
  const std::string content = Noise(50'000, 11);
  WriteFile(scratch_ / "old.raw", content);
  ASSERT_EQ(TarnCompressFile((scratch_ / "old.raw").c_str(), (scratch_ / "main" / "old.raw.nivra").c_str(), nullptr),
            kTarnStatusOk);
  DownloadFile(manager_, "old.raw", (scratch_ / "out").string(), {"main"});
  EXPECT_EQ(ReadFile(scratch_ / "out" / "old.raw"), content);

  WriteFile(scratch_ / "main" / "broken.raw.nivra", "this is not a compressed file at all");
  EXPECT_THROW(DownloadFile(manager_, "broken.raw", (scratch_ / "out").string(), {"main"}), TransferError);
  EXPECT_EQ(Entries(scratch_ / "out"), std::vector<std::string>{"old.raw"});
}

TEST_F(Transfers, NothingIsStagedElsewhereAndAFullDiskIsNamedWithItsReason) {
  fs::create_directories(scratch_ / "tmp");
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string kept_tmpdir = old_tmpdir ? old_tmpdir : "";
  ::setenv("TMPDIR", (scratch_ / "tmp").c_str(), 1);
  UploadNew("a.raw", Noise(3'000'000, 13), "a.raw");
  EXPECT_TRUE(Entries(scratch_ / "tmp").empty());

  // Files may grow to 1 MB only, as on a disk that is full.
  WriteFile(scratch_ / "b.raw", Noise(3'000'000, 14));
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 1 << 20;
  ::setrlimit(RLIMIT_FSIZE, &small);
  manager_.SetRetries(0);
  const std::string message = MessageOf([&] {
    UploadFile(manager_, (scratch_ / "b.raw").string(), "deep/b.raw", std::nullopt, {"main"});
  });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  if (old_tmpdir) ::setenv("TMPDIR", kept_tmpdir.c_str(), 1); else ::unsetenv("TMPDIR");

  EXPECT_TRUE(Contains(message, "cannot write " + (scratch_ / "main" / "deep").string() + "/.caddis-part-")) << message;
  EXPECT_TRUE(Contains(message, "File too large")) << message;
  EXPECT_EQ(Tree(scratch_ / "main"), (std::vector<std::string>{"a.raw.nivra", "a.raw.nivra.caddis.json"}));
}

TEST_F(Transfers, AFailedStorageIsNamedAndTheOthersStillGetTheFile) {
  manager_.SetRetries(0);
  fs::remove(scratch_ / "copy");
  const std::string message = MessageOf([&] { UploadNew("a.raw", "data", "a.raw", {}); });
  EXPECT_TRUE(Contains(message, "failed on storage 'copy': the root")) << message;
  EXPECT_FALSE(Contains(message, "'main'")) << message;
  EXPECT_EQ(Entries(scratch_ / "main"), (std::vector<std::string>{"a.raw.nivra", "a.raw.nivra.caddis.json"}));
  EXPECT_FALSE(fs::exists(scratch_ / "copy"));  // a missing root is not created
}

TEST_F(Transfers, AStorageThatComesBackIsReachedByARetry) {
  fs::remove(scratch_ / "copy");
  std::jthread remount([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    fs::create_directories(scratch_ / "copy");
  });
  UploadNew("a.raw", "data", "a.raw", {"copy"});
  EXPECT_EQ(Entries(scratch_ / "copy"), (std::vector<std::string>{"a.raw.nivra", "a.raw.nivra.caddis.json"}));
}

TEST_F(Transfers, DownloadsNeverReplaceAFileAndLeaveNoWorkBehind) {
  UploadNew("a.raw", "new", "a.raw");
  WriteFile(scratch_ / "out" / "a.raw", "precious");
  EXPECT_THROW(DownloadFile(manager_, "a.raw", (scratch_ / "out").string(), {}), PermanentError);
  EXPECT_EQ(ReadFile(scratch_ / "out" / "a.raw"), "precious");
  EXPECT_THROW(DownloadFile(manager_, "b.raw", (scratch_ / "out").string(), {}), PermanentError);
  EXPECT_THROW(DownloadFile(manager_, "a.raw", (scratch_ / "no-such-dir").string(), {}), PermanentError);
  EXPECT_EQ(Entries(scratch_ / "out"), std::vector<std::string>{"a.raw"});
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
  EXPECT_EQ(Entries(scratch_ / "main" / "same-dir").size(), 12u);
}

TEST_F(Transfers, AQueueRunsEveryItemAndKeepsOnlyTheFailedOnes) {
  for (int i = 0; i < 5; ++i) WriteFile(scratch_ / ("q" + std::to_string(i)), Noise(1000, i));
  std::vector<std::string> sources;
  for (int i = 0; i < 5; ++i) sources.push_back((scratch_ / ("q" + std::to_string(i))).string());
  EnqueueUploadItems(manager_, "night", sources, "batch", std::nullopt, {"main"});
  fs::remove(scratch_ / "q3");  // disappears before the queue runs
  manager_.SetTransportConcurrency(3);
  EXPECT_TRUE(Contains(MessageOf([&] { RunQueue(manager_, "night"); }),
                       "1 of 5 items of queue 'night' failed and stay queued: upload "));
  EXPECT_EQ(Entries(scratch_ / "main" / "batch").size(), 8u);
  WriteFile(scratch_ / "q3", "back again");
  RunQueue(manager_, "night");
  EXPECT_EQ(Entries(scratch_ / "main" / "batch").size(), 10u);
  EXPECT_THROW(RunQueue(manager_, "night"), PermanentError);
}

TEST_F(Transfers, CheckStorageProvesItAndClearsLeftovers) {
  fs::create_directories(scratch_ / "main" / "deep" / "er");
  const std::string dead_name = ".caddis-part-00000000-1-000000000000-x.nivra";  // another machine, long ago
  WriteFile(scratch_ / "main" / "deep" / "er" / dead_name, "x");
  fs::last_write_time(scratch_ / "main" / "deep" / "er" / dead_name,
                      fs::file_time_type::clock::now() - std::chrono::hours(25));
  EXPECT_NO_THROW(CheckStorageRoot(manager_, "main"));
  EXPECT_EQ(Tree(scratch_ / "main"), (std::vector<std::string>{"deep", "deep/er"}));
  manager_.SetRetries(0);
  fs::remove(scratch_ / "copy");
  EXPECT_THROW(CheckStorageRoot(manager_, "copy"), TransferError);
  EXPECT_THROW(CheckStorageRoot(manager_, "unknown"), PermanentError);
}

TEST_F(Transfers, RelocationNeedsAnExistingDirectoryOtherThanTheRoot) {
  for (const std::string& url : {"file://" + (scratch_ / "nowhere").string(), std::string("file:///")}) {
    EXPECT_THROW(RelocateStorageRoot(manager_, "main", url), PermanentError) << url;
  }
  EXPECT_EQ(manager_.Storage("main").root, scratch_ / "main");
  RelocateStorageRoot(manager_, "new", "file://" + (scratch_ / "out").string());
  EXPECT_EQ(manager_.Storage("new").root, scratch_ / "out");
}

}  // namespace
}  // namespace caddistransfer
