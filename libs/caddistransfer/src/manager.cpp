#include "manager.hpp"

#include <cmath>
#include <random>
#include <system_error>

#include "error.hpp"
#include "file_storage.hpp"
#include "s3/s3_storage.hpp"
#include "storage_path.hpp"

namespace caddistransfer {
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

constexpr auto kCredentialsPollInterval = std::chrono::milliseconds(200);

void CheckLimit(double limit, const char* what) {
  if (!std::isfinite(limit) || limit < 0) {
    throw PermanentError(std::string(what) + " must be a finite number of bytes per second (0 for no limit)");
  }
}

void CheckBurst(int32_t burst, const char* what) {
  if (burst < 0) throw PermanentError(std::string(what) + " must not be negative");
}

void CheckConcurrency(uint32_t value, const char* what) {
  if (value < 1 || value > TransportSettings::kMaxConcurrency) {
    throw PermanentError(std::string(what) + " must be between 1 and " +
                         std::to_string(TransportSettings::kMaxConcurrency));
  }
}

std::string NewUserCode() {
  // No vowels and no look-alike characters: easy to read out and type.
  static constexpr char kAlphabet[] = "BCDFGHJKLMNPQRSTVWXZ23456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string code;
  for (int i = 0; i < 8; ++i) {
    if (i == 4) code += '-';
    code += kAlphabet[pick(random)];
  }
  return code;
}

}  // namespace

Manager::Manager(uint8_t id) : id_(id), storage_slots_(settings_.storage_concurrency) {
  upload_bucket_.Configure(settings_.upload_limit, settings_.upload_burst);
  download_bucket_.Configure(settings_.download_limit, settings_.download_burst);
}

std::string Manager::host() const {
  std::lock_guard lock(mutex_);
  return host_;
}

void Manager::SetHost(std::string host) {
  std::lock_guard lock(mutex_);
  host_ = std::move(host);
}

std::string Manager::access_token() const {
  std::lock_guard lock(mutex_);
  return access_token_;
}

void Manager::SetAccessToken(std::string token) {
  std::lock_guard lock(mutex_);
  access_token_ = std::move(token);
  token_expires_at_.reset();
}

std::string Manager::credentials_file() const {
  std::lock_guard lock(mutex_);
  return credentials_file_.string();
}

TransportSettings Manager::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void Manager::SetTransportConcurrency(uint32_t concurrency) {
  CheckConcurrency(concurrency, "transport concurrency");
  std::lock_guard lock(mutex_);
  settings_.concurrency = concurrency;
}

void Manager::SetUploadLimit(double limit) {
  CheckLimit(limit, "upload limit");
  std::lock_guard lock(mutex_);
  settings_.upload_limit = limit;
  upload_bucket_.Configure(settings_.upload_limit, settings_.upload_burst);
}

void Manager::SetUploadBurst(int32_t burst) {
  CheckBurst(burst, "upload burst");
  std::lock_guard lock(mutex_);
  settings_.upload_burst = burst;
  upload_bucket_.Configure(settings_.upload_limit, settings_.upload_burst);
}

void Manager::SetDownloadLimit(double limit) {
  CheckLimit(limit, "download limit");
  std::lock_guard lock(mutex_);
  settings_.download_limit = limit;
  download_bucket_.Configure(settings_.download_limit, settings_.download_burst);
}

void Manager::SetDownloadBurst(int32_t burst) {
  CheckBurst(burst, "download burst");
  std::lock_guard lock(mutex_);
  settings_.download_burst = burst;
  download_bucket_.Configure(settings_.download_limit, settings_.download_burst);
}

void Manager::SetRetries(uint32_t retries) {
  if (retries > TransportSettings::kMaxRetries) {
    throw PermanentError("storage operation retries must be at most " + std::to_string(TransportSettings::kMaxRetries));
  }
  std::lock_guard lock(mutex_);
  settings_.retries = retries;
}

void Manager::SetStorageConcurrency(uint32_t concurrency) {
  CheckConcurrency(concurrency, "storage operation concurrency");
  std::lock_guard lock(mutex_);
  settings_.storage_concurrency = concurrency;
  storage_slots_.SetLimit(concurrency);
}

void Manager::SetStorageRoot(const std::string& storage_id, const fs::path& root) {
  if (storage_id.empty()) throw PermanentError("a storage id must not be empty");
  std::lock_guard lock(mutex_);
  storages_[storage_id] = StorageRoot{storage_id, root, nullptr};
}

StorageRoot Manager::Storage(const std::string& storage_id) const {
  std::lock_guard lock(mutex_);
  const auto found = storages_.find(storage_id);
  if (found == storages_.end()) throw PermanentError("unknown storage '" + storage_id + "'");
  return found->second;
}

std::vector<StorageRoot> Manager::Storages(const std::vector<std::string>& storage_ids) const {
  std::lock_guard lock(mutex_);
  std::vector<StorageRoot> result;
  if (storage_ids.empty()) {
    if (storages_.empty()) {
      throw PermanentError("no storage is configured; load credentials or relocate a storage first");
    }
    for (const auto& [id, storage] : storages_) result.push_back(storage);
    return result;
  }
  for (const auto& id : storage_ids) {
    const auto found = storages_.find(id);
    if (found == storages_.end()) throw PermanentError("unknown storage '" + id + "'");
    bool seen = false;
    for (const auto& storage : result) seen = seen || storage.id == id;
    if (!seen) result.push_back(found->second);
  }
  return result;
}

std::unique_ptr<caddistransfer::Storage> Manager::Open(const StorageRoot& storage) {
  if (storage.s3) {
    return std::make_unique<s3::S3Storage>(storage.id, storage.s3, settings(), &upload_bucket_, &download_bucket_);
  }
  return std::make_unique<FileStorage>(storage.id, storage.root);
}

std::unique_ptr<caddistransfer::Storage> Manager::OpenStorage(const std::string& storage_id) {
  return Open(Storage(storage_id));
}

std::vector<std::unique_ptr<caddistransfer::Storage>> Manager::OpenStorages(const std::vector<std::string>& storage_ids) {
  std::vector<std::unique_ptr<caddistransfer::Storage>> opened;
  for (const auto& storage : Storages(storage_ids)) opened.push_back(Open(storage));
  return opened;
}

bool Manager::FirstUse(const std::string& key) {
  std::lock_guard lock(mutex_);
  return used_.insert(key).second;
}

void Manager::LoadCredentials(const std::string& organization, const fs::path& file) {
  if (organization.empty()) throw PermanentError("an organization name must not be empty");
  const Credentials credentials = ReadCredentials(file, organization);
  std::map<std::string, StorageRoot> storages;
  for (const auto& [id, url] : credentials.storages) {
    try {
      storages[id] = StorageRoot{id, PathFromFileUrl(url), nullptr};
      CheckStorageRootDirectory(storages[id].root);
    } catch (const PermanentError& error) {
      throw PermanentError("storage '" + id + "' in " + file.string() + ": " + error.what());
    }
  }
  for (const auto& [id, entry] : credentials.s3_storages) {
    try {
      auto client = std::make_shared<s3::Client>(entry.settings);
      storages[id] = StorageRoot{id, {}, std::make_shared<const s3::Connection>(s3::Connection{entry, std::move(client)})};
    } catch (const PermanentError& error) {
      throw PermanentError("storage '" + id + "' in " + file.string() + ": " + error.what());
    }
  }
  std::error_code ignored;
  const fs::path absolute = fs::absolute(file, ignored);
  std::lock_guard lock(mutex_);
  organization_ = organization;
  credentials_file_ = absolute.empty() ? file : absolute;
  host_ = credentials.host;
  access_token_ = credentials.access_token;
  token_expires_at_ = credentials.expires_at;
  storages_ = std::move(storages);
}

std::optional<std::string> Manager::TryAdoptToken(const std::string& required_user_code) {
  fs::path file;
  std::string organization;
  {
    std::lock_guard lock(mutex_);
    file = credentials_file_;
    organization = organization_;
    if (file.empty()) {
      if (!access_token_.empty()) return std::nullopt;
      return "no access token: load a credentials file or set an access token first";
    }
  }
  const Credentials credentials = ReadCredentials(file, organization);
  const auto now = Clock::now();
  if (credentials.access_token.empty()) {
    return "organization '" + organization + "' has no access token in " + file.string() + "; authorize first";
  }
  if (!credentials.TokenValidAt(now)) {
    return "the access token of organization '" + organization + "' expired at " +
           FormatUtcTime(*credentials.expires_at) + "; authorize again";
  }
  if (!required_user_code.empty() && credentials.user_code != required_user_code) {
    return "the authorization with user code " + required_user_code + " has not been completed";
  }
  std::lock_guard lock(mutex_);
  if (!credentials.host.empty()) host_ = credentials.host;
  access_token_ = credentials.access_token;
  token_expires_at_ = credentials.expires_at;
  return std::nullopt;
}

bool Manager::PauseUnlessCancelled(uint64_t generation, std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  authorization_changed_.wait_for(lock, pause,
                                  [&] { return shut_down_ || authorization_generation_ != generation; });
  return !shut_down_ && authorization_generation_ == generation;
}

void Manager::Authorize() {
  if (auto problem = TryAdoptToken({})) throw PermanentError(*problem);
}

void Manager::RefreshToken() {
  {
    std::lock_guard lock(mutex_);
    if (credentials_file_.empty()) {
      throw PermanentError("no credentials file is loaded, so there is nothing to refresh the token from");
    }
  }
  if (auto problem = TryAdoptToken({})) throw PermanentError(*problem);
}

void Manager::AuthorizeWithTimeout(int64_t timeout_seconds) {
  if (timeout_seconds < 0) throw PermanentError("the timeout must not be negative");
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds);
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = authorization_generation_;
  }
  for (;;) {
    std::string problem;
    try {
      const auto result = TryAdoptToken({});
      if (!result) return;
      problem = *result;
    } catch (const PermanentError& error) {
      problem = error.what();  // the file may be in the middle of being rewritten
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      throw PermanentError("no valid access token within " + std::to_string(timeout_seconds) + " s: " + problem);
    }
    const auto pause = std::min<Clock::duration>(left, kCredentialsPollInterval);
    if (!PauseUnlessCancelled(generation, std::chrono::duration_cast<std::chrono::milliseconds>(pause) +
                                              std::chrono::milliseconds(1))) {
      throw PermanentError("authorization was cancelled");
    }
  }
}

std::string Manager::StartAuthorization() {
  std::lock_guard lock(mutex_);
  ++authorization_generation_;  // a new flow replaces any earlier one
  pending_user_code_ = NewUserCode();
  std::string base = host_;
  while (!base.empty() && base.back() == '/') base.pop_back();
  authorization_changed_.notify_all();
  return base + "/activate?user_code=" + pending_user_code_;
}

void Manager::WaitAuthorization() {
  std::string code;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (pending_user_code_.empty()) {
      throw PermanentError("no authorization is in progress; call StartAuthorization first");
    }
    if (credentials_file_.empty()) {
      throw PermanentError("no credentials file is loaded to receive the authorization; load one first");
    }
    code = pending_user_code_;
    generation = authorization_generation_;
  }
  for (;;) {
    try {
      if (!TryAdoptToken(code)) break;
    } catch (const PermanentError&) {
      // Unreadable for now (being rewritten): keep waiting.
    }
    if (!PauseUnlessCancelled(generation, kCredentialsPollInterval)) {
      throw PermanentError("authorization with user code " + code + " was cancelled");
    }
  }
  std::lock_guard lock(mutex_);
  if (pending_user_code_ == code) pending_user_code_.clear();
}

void Manager::CancelAuthorization() {
  {
    std::lock_guard lock(mutex_);
    ++authorization_generation_;
    pending_user_code_.clear();
  }
  authorization_changed_.notify_all();
}

void Manager::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shut_down_ = true;
    pending_user_code_.clear();
  }
  authorization_changed_.notify_all();
}

void Manager::Enqueue(const std::string& queue_id, std::vector<QueueItem> items) {
  std::lock_guard lock(mutex_);
  auto& queue = queues_[queue_id];
  for (auto& item : items) queue.push_back(std::move(item));
}

std::vector<QueueItem> Manager::TakeQueue(const std::string& queue_id) {
  std::lock_guard lock(mutex_);
  const auto found = queues_.find(queue_id);
  if (found == queues_.end()) throw PermanentError("there is no queue '" + queue_id + "'");
  std::vector<QueueItem> items(std::make_move_iterator(found->second.begin()),
                               std::make_move_iterator(found->second.end()));
  queues_.erase(found);
  return items;
}

std::vector<QueueItem> Manager::QueuedItems(const std::string& queue_id) const {
  std::lock_guard lock(mutex_);
  const auto found = queues_.find(queue_id);
  if (found == queues_.end()) return {};
  return {found->second.begin(), found->second.end()};
}

void Manager::Requeue(const std::string& queue_id, std::vector<QueueItem> items) {
  if (items.empty()) return;
  std::lock_guard lock(mutex_);
  auto& queue = queues_[queue_id];
  queue.insert(queue.begin(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
}

}  // namespace caddistransfer
