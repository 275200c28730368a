#include "manager.hpp"

#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "error.hpp"
#include "manager_table.hpp"
#include "scratch_directory.hpp"

namespace caddistransfer {
namespace {

using testing::ScratchDirectory;
using testing::WriteFile;

TEST(ManagerTable, HandsOutIds1To255AndRecyclesThemLater) {
  ManagerTable table;
  for (int expected = 1; expected <= 255; ++expected) ASSERT_EQ(table.Create(), expected);
  EXPECT_EQ(table.Create(), 0);
  ASSERT_TRUE(table.Remove(7));
  EXPECT_FALSE(table.Find(7));
  EXPECT_FALSE(table.Remove(7));
  EXPECT_EQ(table.Create(), 7);
  EXPECT_THROW(table.Require(0), PermanentError);
}

TEST(ManagerTable, DoesNotReuseAFreedIdWhileOthersAreFree) {
  ManagerTable table;
  const uint8_t first = table.Create();
  table.Remove(first);
  EXPECT_NE(table.Create(), first);
}

TEST(Manager, RefusesSettingsOutsideTheirRangeAndKeepsTheOldValue) {
  Manager manager(1);
  EXPECT_THROW(manager.SetTransportConcurrency(0), PermanentError);
  EXPECT_THROW(manager.SetStorageConcurrency(100000), PermanentError);
  EXPECT_THROW(manager.SetUploadLimit(-1), PermanentError);
  EXPECT_THROW(manager.SetDownloadLimit(std::nan("")), PermanentError);
  EXPECT_THROW(manager.SetUploadBurst(-1), PermanentError);
  EXPECT_THROW(manager.SetRetries(1000), PermanentError);
  const TransportSettings settings = manager.settings();
  EXPECT_EQ(settings.concurrency, 4u);
  EXPECT_EQ(settings.storage_concurrency, 4u);
  EXPECT_EQ(settings.upload_limit, 0);
  EXPECT_EQ(settings.upload_burst, TransportSettings::kDefaultBurst);
  EXPECT_EQ(settings.retries, 3u);
}

TEST(Manager, ListsStoragesInTheGivenOrderOrAllById) {
  Manager manager(1);
  EXPECT_THROW(manager.Storages({}), PermanentError);
  manager.SetStorageRoot("b", "/srv/b");
  manager.SetStorageRoot("a", "/srv/a");
  auto ids = [](const std::vector<StorageRoot>& storages) {
    std::vector<std::string> result;
    for (const auto& storage : storages) result.push_back(storage.id);
    return result;
  };
  EXPECT_EQ(ids(manager.Storages({})), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ids(manager.Storages({"b", "a", "b"})), (std::vector<std::string>{"b", "a"}));
  EXPECT_THROW(manager.Storages({"a", "c"}), PermanentError);
}

TEST(Manager, FailedQueueItemsGoBackToTheFront) {
  Manager manager(1);
  manager.Enqueue("q", {DownloadItem{"a", "/d", {}}, DownloadItem{"b", "/d", {}}});
  auto items = manager.TakeQueue("q");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_THROW(manager.TakeQueue("q"), PermanentError);
  manager.Enqueue("q", {DownloadItem{"c", "/d", {}}});
  manager.Requeue("q", {items[1]});
  items = manager.TakeQueue("q");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::get<DownloadItem>(items[0]).source, "b");
  EXPECT_EQ(std::get<DownloadItem>(items[1]).source, "c");
}

class Authorization : public ::testing::Test {
 protected:
  void WriteCredentials(const std::string& token, const std::string& expires, const std::string& user_code = "",
                        const std::string& storage_url = "") {
    // Written beside and renamed, as a careful writer would.
    WriteFile(scratch_ / "next.json", R"({"organizations": {"lab": {"host": "https://t.example/",
      "access_token": ")" + token + R"(", "expires_at": ")" + expires + R"(", "user_code": ")" + user_code +
                                          R"(", "storages": {"main": ")" +
                                          (storage_url.empty() ? "file://" + scratch_.path().string() : storage_url) +
                                          R"("}}}})");
    std::filesystem::rename(scratch_ / "next.json", file());
  }
  std::filesystem::path file() const { return scratch_ / "credentials.json"; }

  ScratchDirectory scratch_;
  Manager manager_{1};
};

TEST_F(Authorization, LoadingTakesHostTokenAndStorages) {
  WriteCredentials("abc", "2099-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  EXPECT_EQ(manager_.host(), "https://t.example/");
  EXPECT_EQ(manager_.access_token(), "abc");
  EXPECT_EQ(manager_.credentials_file(), file().string());
  EXPECT_EQ(manager_.Storage("main").root, scratch_.path());
  EXPECT_NO_THROW(manager_.Authorize());
  EXPECT_NO_THROW(manager_.RefreshToken());
}

TEST_F(Authorization, StorageRootsMustBeFoldersOtherThanTheWholeFileSystem) {
  for (const std::string& url : {std::string("file:///"), "file://" + (scratch_ / "missing").string()}) {
    WriteCredentials("abc", "2099-01-01T00:00:00Z", "", url);
    try {
      manager_.LoadCredentials("lab", file());
      ADD_FAILURE() << "accepted " << url;
    } catch (const PermanentError& error) {
      EXPECT_NE(std::string(error.what()).find("storage 'main' in " + file().string() + ": the storage root"),
                std::string::npos)
          << error.what();
    }
  }
  EXPECT_THROW(manager_.Storage("main"), PermanentError);  // nothing was taken over
}

TEST_F(Authorization, AnExpiredTokenIsRefusedWithItsExpiry) {
  WriteCredentials("old", "2001-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  try {
    manager_.Authorize();
    FAIL() << "no error";
  } catch (const PermanentError& error) {
    EXPECT_STREQ(error.what(),
                 "the access token of organization 'lab' expired at 2001-01-01T00:00:00Z; authorize again");
  }
  EXPECT_THROW(manager_.AuthorizeWithTimeout(0), PermanentError);
  EXPECT_THROW(manager_.AuthorizeWithTimeout(-1), PermanentError);
}

TEST_F(Authorization, WithoutCredentialsOnlyAHandSetTokenAuthorizes) {
  EXPECT_THROW(manager_.Authorize(), PermanentError);
  EXPECT_THROW(manager_.RefreshToken(), PermanentError);
  manager_.SetAccessToken("manual");
  EXPECT_NO_THROW(manager_.Authorize());
}

TEST_F(Authorization, WaitEndsWhenTheFileHoldsATokenForTheCode) {
  WriteCredentials("", "2099-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  const std::string address = manager_.StartAuthorization();
  const std::string prefix = "https://t.example/activate?user_code=";
  ASSERT_EQ(address.substr(0, prefix.size()), prefix);
  const std::string code = address.substr(prefix.size());
  EXPECT_EQ(code.size(), 9u);
  std::jthread browser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    WriteCredentials("fresh", "2099-01-01T00:00:00Z", "WRONG-CODE");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteCredentials("fresh", "2099-01-01T00:00:00Z", code);
  });
  manager_.WaitAuthorization();
  EXPECT_EQ(manager_.access_token(), "fresh");
  EXPECT_THROW(manager_.WaitAuthorization(), PermanentError);  // nothing in progress any more
}

TEST_F(Authorization, CancelEndsAWait) {
  WriteCredentials("", "2099-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  manager_.StartAuthorization();
  std::jthread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    manager_.CancelAuthorization();
  });
  EXPECT_THROW(manager_.WaitAuthorization(), PermanentError);
  EXPECT_TRUE(manager_.access_token().empty());
}

TEST_F(Authorization, ShutdownEndsAWaitWithTimeout) {
  WriteCredentials("", "2099-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  std::jthread deleter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    manager_.Shutdown();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(manager_.AuthorizeWithTimeout(3600), PermanentError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST_F(Authorization, AuthorizeWithTimeoutPicksUpATokenThatArrivesLater) {
  WriteCredentials("", "2099-01-01T00:00:00Z");
  manager_.LoadCredentials("lab", file());
  std::jthread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    WriteCredentials("later", "2099-01-01T00:00:00Z");
  });
  manager_.AuthorizeWithTimeout(30);
  EXPECT_EQ(manager_.access_token(), "later");
}

}  // namespace
}  // namespace caddistransfer
