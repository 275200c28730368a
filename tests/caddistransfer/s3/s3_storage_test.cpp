// S3 storages through the transfer paths, against a real S3 server (see
// s3_test_server.hpp): an upload killed midway and tried again, objects altered on the
// server, claims held by live and dead owners, and unfinished uploads as leftovers.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "../scratch_directory.hpp"
#include "leftovers.hpp"
#include "s3/s3_claim.hpp"
#include "s3/s3_storage.hpp"
#include "s3_test_server.hpp"
#include "temporary_name.hpp"
#include "transfers.hpp"

namespace caddistransfer::s3 {
namespace {

using caddistransfer::testing::Entries;
using caddistransfer::testing::ReadFile;
using caddistransfer::testing::ScratchDirectory;
using caddistransfer::testing::WriteFile;
using testing::S3ServerTest;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class S3StorageTest : public S3ServerTest {
 protected:
  void SetUp() override {
    S3ServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string prefix = Key("");
    prefix.pop_back();
    const std::string credentials = R"({"organizations": {"lab": {"storages": {"s3": {"url": "s3://)" + bucket() + "/" +
                                    prefix + R"(", "endpoint": ")" + entry().settings.endpoint +
                                    R"(", "access_key": ")" + entry().settings.access_key + R"(", "secret_key": ")" +
                                    entry().settings.secret_key + R"("}}}}})";
    credentials_ = scratch_ / "credentials.json";
    WriteFile(credentials_, credentials);
    std::filesystem::permissions(credentials_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_directory(scratch_ / "out");
  }

  std::unique_ptr<Manager> NewManager(uint32_t retries = 3) {
    auto manager = std::make_unique<Manager>(1);
    manager->LoadCredentials("lab", credentials_);
    manager->SetRetries(retries);
    return manager;
  }

  std::filesystem::path Source(const std::string& name, std::size_t size, unsigned seed) {
    const auto path = scratch_ / name;
    WriteFile(path, RandomBytes(size, seed));
    return path;
  }

  std::vector<UploadInfo> Unfinished() { return client().ListMultipartUploads(bucket(), Key("")); }

  ScratchDirectory scratch_;
  std::filesystem::path credentials_;
};

TEST_F(S3StorageTest, AnUploadKilledMidwayIsCompletedByTheNextTryAndLeavesNothingBehind) {
  const auto source = Source("big.raw", 40 << 20, 1);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      auto manager = NewManager();
      manager->SetUploadLimit(8 << 20);  // slow enough to be caught midway
      manager->SetTransportConcurrency(1);
      UploadFile(*manager, source, "big.raw", std::nullopt, {"s3"});
    } catch (...) {
    }
    ::_exit(0);
  }
  // Kill it once its multipart upload holds a part.
  bool caught = false;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !caught && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& upload : Unfinished()) caught = caught || !client().ListParts(bucket(), upload.key, upload.upload_id).empty();
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(caught) << "the upload never got a part stored";
  ASSERT_TRUE(client().Head(bucket(), Key("big.raw.nivra.caddis-claim")));
  ASSERT_FALSE(client().Head(bucket(), Key("big.raw.nivra")));

  auto manager = NewManager();
  UploadFile(*manager, source, "big.raw", std::nullopt, {"s3"});
  EXPECT_TRUE(Unfinished().empty());
  EXPECT_FALSE(client().Head(bucket(), Key("big.raw.nivra.caddis-claim")));
  DownloadFile(*manager, "big.raw", scratch_ / "out", {"s3"});
  EXPECT_TRUE(ReadFile(scratch_ / "out" / "big.raw") == ReadFile(source));
}

TEST_F(S3StorageTest, AnObjectAlteredOnTheServerIsRefusedAndNothingIsWritten) {
  const auto source = Source("t.raw", 3 << 20, 2);
  auto manager = NewManager(0);
  UploadFile(*manager, source, "t.raw", std::nullopt, {"s3"});
  const std::string key = Key("t.raw.nivra");
  const auto stored = client().Head(bucket(), key);
  ASSERT_TRUE(stored);
  std::string bytes = GetAll(key);
  bytes[bytes.size() / 2] ^= 0x10;
  struct Case {
    const char* name;
    bool keep_metadata;
    const char* reason;
  };
  for (const Case& c : {Case{"one bit flipped", true, "is damaged"},
                        Case{"record dropped", false, "carries no checksum record"}}) {
    PutOptions options;
    if (c.keep_metadata) options.metadata = stored->metadata;
    client().Put(bucket(), key, RequestBody{-1, 0, bytes.size(), bytes, "altered"}, options);
    try {
      DownloadFile(*manager, "t.raw", scratch_ / "out", {"s3"});
      ADD_FAILURE() << c.name << ": the download passed";
    } catch (const TransferError& error) {
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << c.name << ": " << error.what();
    }
    EXPECT_TRUE(Entries(scratch_ / "out").empty()) << c.name;
  }
}

TEST_F(S3StorageTest, AClaimOfALiveUploadHoldsAndADeadOnesIsTakenOver) {
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  // ".caddis-part-<machine>-<pid>-<random>-claim" with the pid of a process that ended.
  const std::string alive = TemporaryName("claim");
  const auto machine_end = alive.find('-', std::string(kTemporaryPrefix).size());
  const auto pid_end = alive.find('-', machine_end + 1);
  const std::string gone = alive.substr(0, machine_end + 1) + std::to_string(dead) + alive.substr(pid_end);

  struct Case {
    std::string owner;
    bool placed;
  };
  int round = 0;
  for (const Case& c : {Case{alive, false}, Case{gone, true}}) {
    const std::string name = "claimed" + std::to_string(round++) + ".raw";
    const std::string claim = R"({"owner": ")" + c.owner + R"(", "upload_id": "", "record": ""})";
    client().Put(bucket(), Key(name + ".nivra.caddis-claim"), RequestBody{-1, 0, claim.size(), claim, "claim"});
    auto manager = NewManager(0);
    const auto source = Source(name, 1000, 3);
    if (c.placed) {
      UploadFile(*manager, source, name, std::nullopt, {"s3"});
      EXPECT_FALSE(client().Head(bucket(), Key(name + ".nivra.caddis-claim"))) << c.owner;
    } else {
      try {
        UploadFile(*manager, source, name, std::nullopt, {"s3"});
        ADD_FAILURE() << "a live claim was ignored";
      } catch (const TransferError& error) {
        EXPECT_NE(std::string(error.what()).find("another upload is placing"), std::string::npos) << error.what();
      }
    }
    EXPECT_EQ(client().Head(bucket(), Key(name + ".nivra")).has_value(), c.placed) << c.owner;
  }
}

TEST_F(S3StorageTest, UnfinishedUploadsAreLeftoversThatGoOnceOld) {
  const std::string upload_id = client().CreateMultipartUpload(bucket(), Key("old.raw.nivra"));
  client().CreateMultipartUpload(bucket(), Key("not-ours.bin"));
  auto location = entry().location;
  location.prefix = Key("");
  const auto connection = std::make_shared<const Connection>(Connection{{location, entry().settings},
                                                                        std::make_shared<Client>(entry().settings)});
  S3Storage storage("s3", connection, TransportSettings{}, nullptr, nullptr);
  const auto leftovers = storage.ListLeftovers("", false);
  ASSERT_EQ(leftovers.size(), 1u);
  EXPECT_EQ(leftovers[0].name, "old.raw.nivra");
  EXPECT_EQ(leftovers[0].kind, Leftover::Kind::kUnfinished);
  EXPECT_EQ(SweepStorage(storage, "", false), 0u);  // started just now: it may still be running
  storage.RemoveLeftover(leftovers[0]);
  const auto left = Unfinished();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].key, Key("not-ours.bin"));
  (void)upload_id;
}

}  // namespace
}  // namespace caddistransfer::s3
