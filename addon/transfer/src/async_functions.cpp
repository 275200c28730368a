// The ten Promise-returning exports: check and copy the arguments on the JavaScript
// thread, then hand the work to the worker pool.
#include "async_workers.hpp"
#include "exports.hpp"
#include "util.hpp"

namespace caddis::transfer {

using util::Kind;

namespace {

uint8_t ManagerIdOf(const Napi::CallbackInfo& info) {
  return util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
}

std::string StringOf(const Napi::Value& value) { return value.As<Napi::String>().Utf8Value(); }

std::optional<std::string> OptionalStringOf(const Napi::Value& value) {
  if (value.IsUndefined()) return std::nullopt;
  return StringOf(value);
}

// Queues the worker, which deletes itself once its Promise is settled.
template <class Worker, class... Arguments>
Napi::Value Start(Napi::Env env, Arguments&&... arguments) {
  auto worker = std::make_unique<Worker>(env, std::forward<Arguments>(arguments)...);
  const Napi::Promise promise = worker->Promise();
  worker->Queue();
  worker.release();
  return promise;
}

}  // namespace

Napi::Value Authorize(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, "expected managerId: number");
  return Start<AuthorizeWorker>(info.Env(), ManagerIdOf(info));
}

Napi::Value AuthorizeWithTimeout(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kNumber}, "expected managerId: number, timeout: number");
  const uint8_t id = ManagerIdOf(info);
  return Start<AuthorizeWithTimeoutWorker>(info.Env(), id, info[1].As<Napi::Number>().Int64Value());
}

Napi::Value RefreshToken(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, "expected managerId: number");
  return Start<RefreshTokenWorker>(info.Env(), ManagerIdOf(info));
}

Napi::Value CheckStorage(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString}, "expected managerId: number, storageId: string");
  const uint8_t id = ManagerIdOf(info);
  return Start<CheckStorageWorker>(info.Env(), id, StringOf(info[1]));
}

Napi::Value RelocateStorage(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString},
                       "expected managerId: number, storageId: string, url: string");
  const uint8_t id = ManagerIdOf(info);
  return Start<RelocateStorageWorker>(info.Env(), id, StringOf(info[1]), StringOf(info[2]));
}

Napi::Value ExecuteQueue(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString}, "expected managerId: number, queueId: string");
  const uint8_t id = ManagerIdOf(info);
  return Start<ExecuteQueueWorker>(info.Env(), id, StringOf(info[1]));
}

Napi::Value Download(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString, Kind::kStringArray},
                       "expected managerId: number, fromPath: string, toDirectory: string, storages: string[]");
  const uint8_t id = ManagerIdOf(info);
  auto source = StringOf(info[1]);
  auto target_directory = StringOf(info[2]);
  auto storages = util::ToStringList(info[3]);
  return Start<DownloadWorker>(info.Env(), id, std::move(source), std::move(target_directory), std::move(storages));
}

Napi::Value Upload(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString, Kind::kStringOrUndefined, Kind::kStringArray},
                       "expected managerId: number, fromPath: string, toPath: string, calibrationId: string | "
                       "undefined, storages: string[]");
  const uint8_t id = ManagerIdOf(info);
  auto source = StringOf(info[1]);
  auto target = StringOf(info[2]);
  auto calibration_id = OptionalStringOf(info[3]);
  auto storages = util::ToStringList(info[4]);
  return Start<UploadWorker>(info.Env(), id, std::move(source), std::move(target), std::move(calibration_id),
                             std::move(storages));
}

Napi::Value EnqueueDownloads(const Napi::CallbackInfo& info) {
  util::CheckArguments(info,
                       {Kind::kNumber, Kind::kString, Kind::kStringOrStringArray, Kind::kString, Kind::kStringArray},
                       "expected managerId: number, queueId: string, fromPaths: string | string[], toDirectory: "
                       "string, storages: string[]");
  const uint8_t id = ManagerIdOf(info);
  auto queue_id = StringOf(info[1]);
  auto sources = util::ToStringList(info[2]);
  auto target_directory = StringOf(info[3]);
  auto storages = util::ToStringList(info[4]);
  return Start<EnqueueDownloadsWorker>(info.Env(), id, std::move(queue_id), std::move(sources),
                                       std::move(target_directory), std::move(storages));
}

Napi::Value EnqueueUploads(const Napi::CallbackInfo& info) {
  util::CheckArguments(info,
                       {Kind::kNumber, Kind::kString, Kind::kStringOrStringArray, Kind::kString,
                        Kind::kStringOrUndefined, Kind::kStringArray},
                       "expected managerId: number, queueId: string, fromPath: string | string[], toPath: string, "
                       "calibrationId: string | undefined, storages: string[]");
  const uint8_t id = ManagerIdOf(info);
  auto queue_id = StringOf(info[1]);
  auto sources = util::ToStringList(info[2]);
  auto target = StringOf(info[3]);
  auto calibration_id = OptionalStringOf(info[4]);
  auto storages = util::ToStringList(info[5]);
  return Start<EnqueueUploadsWorker>(info.Env(), id, std::move(queue_id), std::move(sources), std::move(target),
                                     std::move(calibration_id), std::move(storages));
}

}  // namespace caddis::transfer
