// The S3 server the tests use: scripts/s3-test-server.sh writes its storage entry to a
// file and TARN_S3_TEST_ENV names that file. Without it the tests skip and say why;
// under CI=true they fail instead, so a CI run cannot pass without the server.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "s3/s3_client.hpp"
#include "s3/s3_storage_entry.hpp"

namespace caddistransfer::s3::testing {

class S3ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    bool configured = false;
    entry_ = LoadEntry(reason, configured);
    if (configured && !entry_) FAIL() << reason;
    if (!entry_) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") FAIL() << reason << " (under CI=true this is a failure)";
      GTEST_SKIP() << reason;
    }
    client_ = std::make_unique<Client>(entry_->settings);
    std::random_device random;
    prefix_ = entry_->location.prefix + "client-tests/" + std::to_string(random()) + "/";
  }

  void TearDown() override {
    if (!client_) return;
    try {
      for (const auto& upload : client_->ListMultipartUploads(bucket(), prefix_)) {
        client_->AbortMultipartUpload(bucket(), upload.key, upload.upload_id);
      }
      for (const auto& object : client_->ListObjects(bucket(), prefix_)) client_->Delete(bucket(), object.key);
    } catch (const std::exception& error) {
      ADD_FAILURE() << "cleaning up: " << error.what();
    }
  }

  Client& client() { return *client_; }
  const StorageEntry& entry() const { return *entry_; }
  const std::string& bucket() const { return entry_->location.bucket; }
  std::string Key(const std::string& name) const { return prefix_ + name; }

  std::string GetAll(const std::string& key, const GetOptions& options = {}) {
    std::string bytes;
    client_->Get(bucket(), key, [&](const char* data, std::size_t size) { bytes.append(data, size); }, options);
    return bytes;
  }

 private:
  static std::optional<StorageEntry> LoadEntry(std::string& reason, bool& configured) {
    const char* path = std::getenv("TARN_S3_TEST_ENV");
    if (path == nullptr || *path == '\0') {
      reason =
          "no S3 test server: TARN_S3_TEST_ENV is not set (scripts/test.sh starts one when radosgw, ceph-mon and "
          "ceph-osd are installed; by hand: scripts/s3-test-server.sh start DIR, then "
          "TARN_S3_TEST_ENV=DIR/s3-storage.json)";
      return std::nullopt;
    }
    configured = true;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
      reason = std::string("cannot read TARN_S3_TEST_ENV=") + path;
      return std::nullopt;
    }
    return ParseStorageEntryText(text.str(), path);
  }

  std::optional<StorageEntry> entry_;
  std::unique_ptr<Client> client_;
  std::string prefix_;
};

}  // namespace caddistransfer::s3::testing
