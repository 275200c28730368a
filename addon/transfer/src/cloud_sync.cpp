// The cloud-sync exports and the platform's (absent) cloud sync.
#include "cloud_sync.hpp"

#include <stdexcept>

#include "exports.hpp"
#include "util.hpp"

namespace caddis::transfer {

using util::Kind;

namespace {

constexpr const char* kUnavailable = "Cloud Sync is not available in this platform";

template <class Operation>
void ThrowAsTypeError(Napi::Env env, Operation&& operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    throw Napi::TypeError::New(env, error.what());
  } catch (...) {
    throw Napi::TypeError::New(env, "Something went wrong");
  }
}

}  // namespace

void CloudSyncManager::RegisterNew(uint8_t, const std::filesystem::path&, const std::filesystem::path&) {
  throw std::runtime_error(kUnavailable);
}

void CloudSyncManager::ConnectExisting(uint8_t, const std::filesystem::path&, const std::filesystem::path&) {
  throw std::runtime_error(kUnavailable);
}

void CloudSyncManager::Disconnect(uint8_t) {}

void CloudSyncManager::Unregister(uint8_t) {}

Napi::Value CloudSyncRegisterNew(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString},
                       "expected managerId: number, syncRootPath: string, iconResource: string");
  const uint8_t id = util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
  const auto root = util::ToPath(info[1]);
  const auto icon = util::ToPath(info[2]);
  ThrowAsTypeError(info.Env(), [&] { CloudSyncManager::RegisterNew(id, root, icon); });
  return info.Env().Undefined();
}

Napi::Value CloudSyncConnectExisting(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString},
                       "expected managerId: number, syncRootPath: string, iconResource: string");
  const uint8_t id = util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
  const auto root = util::ToPath(info[1]);
  const auto icon = util::ToPath(info[2]);
  ThrowAsTypeError(info.Env(), [&] { CloudSyncManager::ConnectExisting(id, root, icon); });
  return info.Env().Undefined();
}

Napi::Value CloudSyncUnregister(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, "expected managerId: number");
  const uint8_t id = util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
  ThrowAsTypeError(info.Env(), [&] { CloudSyncManager::Unregister(id); });
  return info.Env().Undefined();
}

}  // namespace caddis::transfer
