// One transfer manager: host, token and credentials, transport settings, storages
// and queues. Every member function may be called from any thread at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "concurrency_limit.hpp"
#include "credentials.hpp"
#include "queue_item.hpp"
#include "storage.hpp"
#include "token_bucket.hpp"
#include "transport_settings.hpp"

namespace caddistransfer {

namespace s3 {
struct Connection;
}

struct StorageRoot {
  std::string id;
  std::filesystem::path root;              // a file:// storage's folder
  std::shared_ptr<const s3::Connection> s3;  // or an S3 storage's bucket and client
};

class Manager {
 public:
  explicit Manager(uint8_t id);

  uint8_t id() const { return id_; }

  std::string host() const;
  void SetHost(std::string host);
  std::string access_token() const;
  // A token set by hand has no expiry.
  void SetAccessToken(std::string token);
  std::string credentials_file() const;

  TransportSettings settings() const;
  void SetTransportConcurrency(uint32_t concurrency);
  void SetUploadLimit(double limit);
  void SetUploadBurst(int32_t burst);
  void SetDownloadLimit(double limit);
  void SetDownloadBurst(int32_t burst);
  void SetRetries(uint32_t retries);
  void SetStorageConcurrency(uint32_t concurrency);

  TokenBucket& upload_bucket() { return upload_bucket_; }
  TokenBucket& download_bucket() { return download_bucket_; }
  ConcurrencyLimit& storage_slots() { return storage_slots_; }

  // Points a storage id at a root directory (created if the id is new).
  void SetStorageRoot(const std::string& storage_id, const std::filesystem::path& root);
  StorageRoot Storage(const std::string& storage_id) const;
  // The named storages in the given order without repeats; none named means all, by id.
  std::vector<StorageRoot> Storages(const std::vector<std::string>& storage_ids) const;
  // The same, ready for transfers.
  std::unique_ptr<caddistransfer::Storage> OpenStorage(const std::string& storage_id);
  std::vector<std::unique_ptr<caddistransfer::Storage>> OpenStorages(const std::vector<std::string>& storage_ids);

  // True the first time a key (a storage folder, a download folder) is named: what
  // earlier runs left there is cleared once per manager.
  bool FirstUse(const std::string& key);

  void LoadCredentials(const std::string& organization, const std::filesystem::path& file);
  void Authorize();
  void AuthorizeWithTimeout(int64_t timeout_seconds);
  void RefreshToken();
  std::string StartAuthorization();
  void WaitAuthorization();
  void CancelAuthorization();
  // Ends every wait of this manager; called when it is deleted.
  void Shutdown();

  void Enqueue(const std::string& queue_id, std::vector<QueueItem> items);
  std::vector<QueueItem> TakeQueue(const std::string& queue_id);
  // Copies of the items waiting in a queue (none for an unknown queue).
  std::vector<QueueItem> QueuedItems(const std::string& queue_id) const;
  // Puts items back at the front, in their order, so a later run tries them again.
  void Requeue(const std::string& queue_id, std::vector<QueueItem> items);

 private:
  std::unique_ptr<caddistransfer::Storage> Open(const StorageRoot& storage);
  // Reads the credentials file and adopts a valid token; returns why not otherwise.
  std::optional<std::string> TryAdoptToken(const std::string& required_user_code);
  // Waits for `pause` unless the authorization generation moves on; false if it did.
  bool PauseUnlessCancelled(uint64_t generation, std::chrono::milliseconds pause);

  const uint8_t id_;
  mutable std::mutex mutex_;
  std::condition_variable authorization_changed_;
  std::string host_;
  std::string access_token_;
  std::optional<std::chrono::system_clock::time_point> token_expires_at_;
  std::string organization_;
  std::filesystem::path credentials_file_;
  std::string pending_user_code_;
  uint64_t authorization_generation_ = 0;
  bool shut_down_ = false;
  TransportSettings settings_;
  std::map<std::string, StorageRoot> storages_;
  std::map<std::string, std::deque<QueueItem>> queues_;
  std::set<std::string> used_;
  TokenBucket upload_bucket_;
  TokenBucket download_bucket_;
  ConcurrencyLimit storage_slots_;
};

}  // namespace caddistransfer
