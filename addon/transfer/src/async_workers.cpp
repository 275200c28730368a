#include "async_workers.hpp"

#include <cstring>
#include <memory>

#include "caddistransfer.h"
#include "util.hpp"

namespace caddis::transfer {

PromiseWorker::PromiseWorker(Napi::Env env, uint8_t id)
    : Napi::AsyncWorker(env), deferred_(Napi::Promise::Deferred::New(env)), id_(id) {}

void PromiseWorker::OnOK() { deferred_.Resolve(Env().Null()); }

void PromiseWorker::OnError(const Napi::Error& error) { deferred_.Reject(error.Value()); }

void AuthorizeWorker::Execute() { util::CheckManagerError(id_, "Authorize", ::Authorize(id_)); }

AuthorizeWithTimeoutWorker::AuthorizeWithTimeoutWorker(Napi::Env env, uint8_t id, int64_t timeout)
    : PromiseWorker(env, id), timeout_(timeout) {}

void AuthorizeWithTimeoutWorker::Execute() {
  util::CheckManagerError(id_, "AuthorizeWithTimeout", ::AuthorizeWithTimeout(id_, timeout_));
}

void RefreshTokenWorker::Execute() { util::CheckManagerError(id_, "RefreshToken", ::RefreshToken(id_)); }

CheckStorageWorker::CheckStorageWorker(Napi::Env env, uint8_t id, std::string storage_id)
    : PromiseWorker(env, id), storage_id_(std::move(storage_id)) {}

void CheckStorageWorker::Execute() {
  util::CheckManagerError(id_, "CheckStorage", ::CheckStorage(id_, storage_id_.c_str()));
}

RelocateStorageWorker::RelocateStorageWorker(Napi::Env env, uint8_t id, std::string storage_id, std::string url)
    : PromiseWorker(env, id), storage_id_(std::move(storage_id)), url_(std::move(url)) {}

void RelocateStorageWorker::Execute() {
  util::CheckManagerError(id_, "RelocateStorage", ::RelocateStorage(id_, storage_id_.c_str(), url_.c_str()));
}

ExecuteQueueWorker::ExecuteQueueWorker(Napi::Env env, uint8_t id, std::string queue_id)
    : PromiseWorker(env, id), queue_id_(std::move(queue_id)) {}

void ExecuteQueueWorker::Execute() {
  util::CheckManagerError(id_, "ExecuteQueue", ::ExecuteQueue(id_, queue_id_.c_str()));
}

DownloadWorker::DownloadWorker(Napi::Env env, uint8_t id, std::string source, std::string target_directory,
                               std::vector<std::string> storages)
    : PromiseWorker(env, id),
      source_(std::move(source)),
      target_directory_(std::move(target_directory)),
      storages_(std::move(storages)) {}

void DownloadWorker::Execute() {
  const util::CStringList storages(storages_);
  util::CheckManagerError(
      id_, "Download",
      ::Download(id_, source_.c_str(), target_directory_.c_str(), storages.data(), storages.size()));
}

UploadWorker::UploadWorker(Napi::Env env, uint8_t id, std::string source, std::string target,
                           std::optional<std::string> calibration_id, std::vector<std::string> storages)
    : PromiseWorker(env, id),
      source_(std::move(source)),
      target_(std::move(target)),
      calibration_id_(std::move(calibration_id)),
      storages_(std::move(storages)) {}

void UploadWorker::Execute() {
  const util::CStringList storages(storages_);
  const char* calibration_id = calibration_id_ ? calibration_id_->c_str() : nullptr;
  util::CheckManagerError(id_, "Upload",
                          ::Upload(id_, source_.c_str(), target_.c_str(), calibration_id, storages.data(),
                                   storages.size()));
}

EnqueueWorker::EnqueueWorker(Napi::Env env, uint8_t id, std::string queue_id)
    : PromiseWorker(env, id), queue_id_(std::move(queue_id)) {}

void EnqueueWorker::OnOK() { deferred_.Resolve(Napi::String::New(Env(), queue_id_)); }

template <class Call>
char* EnqueueWorker::WithQueueIdBuffer(Call&& call) {
  const std::size_t length = queue_id_.size();
  auto buffer = std::make_unique<char[]>(length + 1);
  std::memcpy(buffer.get(), queue_id_.c_str(), length + 1);
  char* message = call(buffer.get());
  // The id keeps its length; what the library left in the buffer is copied over it.
  const std::size_t kept = strnlen(buffer.get(), length);
  queue_id_.replace(0, kept, buffer.get(), kept);
  return message;
}

EnqueueDownloadsWorker::EnqueueDownloadsWorker(Napi::Env env, uint8_t id, std::string queue_id,
                                               std::vector<std::string> sources, std::string target_directory,
                                               std::vector<std::string> storages)
    : EnqueueWorker(env, id, std::move(queue_id)),
      sources_(std::move(sources)),
      target_directory_(std::move(target_directory)),
      storages_(std::move(storages)) {}

void EnqueueDownloadsWorker::Execute() {
  const util::CStringList sources(sources_);
  const util::CStringList storages(storages_);
  char* message = WithQueueIdBuffer([&](char* queue_id) {
    return ::EnqueueDownloads(id_, queue_id, sources.data(), sources.size(), target_directory_.c_str(),
                              storages.data(), storages.size());
  });
  util::CheckManagerError(id_, "EnqueueDownloads", message);
}

EnqueueUploadsWorker::EnqueueUploadsWorker(Napi::Env env, uint8_t id, std::string queue_id,
                                           std::vector<std::string> sources, std::string target,
                                           std::optional<std::string> calibration_id,
                                           std::vector<std::string> storages)
    : EnqueueWorker(env, id, std::move(queue_id)),
      sources_(std::move(sources)),
      target_(std::move(target)),
      calibration_id_(std::move(calibration_id)),
      storages_(std::move(storages)) {}

void EnqueueUploadsWorker::Execute() {
  const util::CStringList sources(sources_);
  const util::CStringList storages(storages_);
  const char* calibration_id = calibration_id_ ? calibration_id_->c_str() : nullptr;
  char* message = WithQueueIdBuffer([&](char* queue_id) {
    return ::EnqueueUploads(id_, queue_id, sources.data(), sources.size(), target_.c_str(), calibration_id,
                            storages.data(), storages.size());
  });
  util::CheckManagerError(id_, "EnqueueUploads", message);
}

}  // namespace caddis::transfer
