// One Napi::AsyncWorker per long operation: the library call runs on the worker
// pool and the Promise settles back on the JavaScript thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <napi.h>

namespace caddis::transfer {

// Holds the Promise and the manager id; settles with null unless a worker says otherwise.
class PromiseWorker : public Napi::AsyncWorker {
 public:
  PromiseWorker(Napi::Env env, uint8_t id);
  Napi::Promise Promise() const { return deferred_.Promise(); }

 protected:
  void OnOK() override;
  void OnError(const Napi::Error& error) override;

  Napi::Promise::Deferred deferred_;
  const uint8_t id_;
};

class AuthorizeWorker : public PromiseWorker {
 public:
  using PromiseWorker::PromiseWorker;
  void Execute() override;
};

class AuthorizeWithTimeoutWorker : public PromiseWorker {
 public:
  AuthorizeWithTimeoutWorker(Napi::Env env, uint8_t id, int64_t timeout);
  void Execute() override;

 private:
  int64_t timeout_;
};

class RefreshTokenWorker : public PromiseWorker {
 public:
  using PromiseWorker::PromiseWorker;
  void Execute() override;
};

class CheckStorageWorker : public PromiseWorker {
 public:
  CheckStorageWorker(Napi::Env env, uint8_t id, std::string storage_id);
  void Execute() override;

 private:
  std::string storage_id_;
};

class RelocateStorageWorker : public PromiseWorker {
 public:
  RelocateStorageWorker(Napi::Env env, uint8_t id, std::string storage_id, std::string url);
  void Execute() override;

 private:
  std::string storage_id_;
  std::string url_;
};

class ExecuteQueueWorker : public PromiseWorker {
 public:
  ExecuteQueueWorker(Napi::Env env, uint8_t id, std::string queue_id);
  void Execute() override;

 private:
  std::string queue_id_;
};

class DownloadWorker : public PromiseWorker {
 public:
  DownloadWorker(Napi::Env env, uint8_t id, std::string source, std::string target_directory,
                 std::vector<std::string> storages);
  void Execute() override;

 private:
  std::string source_;
  std::string target_directory_;
  std::vector<std::string> storages_;
};

class UploadWorker : public PromiseWorker {
 public:
  UploadWorker(Napi::Env env, uint8_t id, std::string source, std::string target,
               std::optional<std::string> calibration_id, std::vector<std::string> storages);
  void Execute() override;

 private:
  std::string source_;
  std::string target_;
  std::optional<std::string> calibration_id_;
  std::vector<std::string> storages_;
};

// Both enqueue workers resolve with the queue id as the library left it.
class EnqueueWorker : public PromiseWorker {
 public:
  EnqueueWorker(Napi::Env env, uint8_t id, std::string queue_id);

 protected:
  void OnOK() override;
  // Runs `call` on a writable copy of the queue id and keeps what it holds afterwards.
  template <class Call>
  char* WithQueueIdBuffer(Call&& call);

  std::string queue_id_;
};

class EnqueueDownloadsWorker : public EnqueueWorker {
 public:
  EnqueueDownloadsWorker(Napi::Env env, uint8_t id, std::string queue_id, std::vector<std::string> sources,
                         std::string target_directory, std::vector<std::string> storages);
  void Execute() override;

 private:
  std::vector<std::string> sources_;
  std::string target_directory_;
  std::vector<std::string> storages_;
};

class EnqueueUploadsWorker : public EnqueueWorker {
 public:
  EnqueueUploadsWorker(Napi::Env env, uint8_t id, std::string queue_id, std::vector<std::string> sources,
                       std::string target, std::optional<std::string> calibration_id,
                       std::vector<std::string> storages);
  void Execute() override;

 private:
  std::vector<std::string> sources_;
  std::string target_;
  std::optional<std::string> calibration_id_;
  std::vector<std::string> storages_;
};

}  // namespace caddis::transfer
