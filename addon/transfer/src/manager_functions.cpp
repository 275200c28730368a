// NewManager, DeleteManager and Version.
#include "caddistransfer.h"
#include "cloud_sync.hpp"
#include "exports.hpp"
#include "util.hpp"

namespace caddis::transfer {

using util::Kind;

Napi::Value Version(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {}, "no argument expected");
  return util::TakeLibraryString(info.Env(), ::Version(), "version not found");
}

Napi::Value NewManager(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {}, "no argument expected");
  const uint8_t id = ::NewManager();
  if (id == 0) throw Napi::Error::New(info.Env(), "failed to initialize new Manager");
  return Napi::Number::New(info.Env(), id);
}

Napi::Value DeleteManager(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, "expected managerId: number");
  const uint8_t id = util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
  try {
    CloudSyncManager::Disconnect(id);
  } catch (const std::exception& error) {
    throw Napi::TypeError::New(info.Env(), error.what());
  }
  util::CheckManagerError(info.Env(), id, "cleanup", ::DeleteManager(id));
  return info.Env().Undefined();
}

}  // namespace caddis::transfer
