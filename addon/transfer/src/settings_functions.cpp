// Synchronous per-manager functions: transport settings, host, token, credentials
// and interactive authorization.
#include "caddistransfer.h"
#include "exports.hpp"
#include "util.hpp"

namespace caddis::transfer {

using util::Kind;

namespace {

constexpr const char* kManagerIdOnly = "expected managerId: number";

uint8_t ManagerIdOf(const Napi::CallbackInfo& info) {
  return util::ParseManagerId(info.Env(), info[0].As<Napi::Number>());
}

template <auto LibraryGetter>
Napi::Value NumberSetting(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, kManagerIdOnly);
  return Napi::Number::New(info.Env(), static_cast<double>(LibraryGetter(ManagerIdOf(info))));
}

// The value is read as an unsigned 32-bit integer and handed over as the library's type.
template <class Value, auto LibrarySetter>
Napi::Value SetNumberSetting(const Napi::CallbackInfo& info, const char* message, const char* operation) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kNumber}, message);
  const uint8_t id = ManagerIdOf(info);
  const uint32_t value = info[1].As<Napi::Number>().Uint32Value();
  util::CheckManagerError(info.Env(), id, operation, LibrarySetter(id, static_cast<Value>(value)));
  return info.Env().Undefined();
}

template <auto LibraryGetter>
Napi::Value StringOfManager(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber}, kManagerIdOnly);
  const uint8_t id = ManagerIdOf(info);
  return util::TakeLibraryString(info.Env(), LibraryGetter(id), "no manager found with id " + std::to_string(id));
}

template <auto LibrarySetter>
Napi::Value SetStringOfManager(const Napi::CallbackInfo& info, const char* message, const char* operation) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString}, message);
  const uint8_t id = ManagerIdOf(info);
  const std::string text = info[1].As<Napi::String>().Utf8Value();
  util::CheckManagerError(info.Env(), id, operation, LibrarySetter(id, text.c_str()));
  return info.Env().Undefined();
}

template <auto LibraryCall>
Napi::Value CallOnManager(const Napi::CallbackInfo& info, const char* operation) {
  util::CheckArguments(info, {Kind::kNumber}, kManagerIdOnly);
  const uint8_t id = ManagerIdOf(info);
  util::CheckManagerError(info.Env(), id, operation, LibraryCall(id));
  return info.Env().Undefined();
}

}  // namespace

Napi::Value LoadCredentials(const Napi::CallbackInfo& info) {
  util::CheckArguments(info, {Kind::kNumber, Kind::kString, Kind::kString},
                       "expected managerId: number, organization: string, path: string");
  const uint8_t id = ManagerIdOf(info);
  const std::string organization = info[1].As<Napi::String>().Utf8Value();
  const std::string path = info[2].As<Napi::String>().Utf8Value();
  util::CheckManagerError(info.Env(), id, "LoadCredentials", ::LoadCredentials(id, organization.c_str(), path.c_str()));
  return info.Env().Undefined();
}

Napi::Value Host(const Napi::CallbackInfo& info) { return StringOfManager<::Host>(info); }

Napi::Value SetHost(const Napi::CallbackInfo& info) {
  return SetStringOfManager<::SetHost>(info, "expected managerId: number, host: string", "SetHost");
}

Napi::Value AccessToken(const Napi::CallbackInfo& info) { return StringOfManager<::AccessToken>(info); }

Napi::Value SetAccessToken(const Napi::CallbackInfo& info) {
  return SetStringOfManager<::SetAccessToken>(info, "expected managerId: number, accessToken: string",
                                              "SetAccessToken");
}

Napi::Value TransportConcurrency(const Napi::CallbackInfo& info) { return NumberSetting<::TransportConcurrency>(info); }

Napi::Value SetTransportConcurrency(const Napi::CallbackInfo& info) {
  return SetNumberSetting<uint32_t, ::SetTransportConcurrency>(
      info, "expected managerId: number, concurrency: number", "SetTransportConcurrency");
}

Napi::Value TransportUploadLimit(const Napi::CallbackInfo& info) { return NumberSetting<::TransportUploadLimit>(info); }

Napi::Value SetTransportUploadLimit(const Napi::CallbackInfo& info) {
  return SetNumberSetting<double, ::SetTransportUploadLimit>(info, "expected managerId: number, limit: number",
                                                             "SetTransportUploadLimit");
}

Napi::Value TransportUploadBurst(const Napi::CallbackInfo& info) { return NumberSetting<::TransportUploadBurst>(info); }

Napi::Value SetTransportUploadBurst(const Napi::CallbackInfo& info) {
  return SetNumberSetting<int32_t, ::SetTransportUploadBurst>(info, "expected managerId: number, burst: number",
                                                              "SetTransportUploadBurst");
}

Napi::Value TransportDownloadLimit(const Napi::CallbackInfo& info) {
  return NumberSetting<::TransportDownloadLimit>(info);
}

Napi::Value SetTransportDownloadLimit(const Napi::CallbackInfo& info) {
  return SetNumberSetting<double, ::SetTransportDownloadLimit>(info, "expected managerId: number, limit: number",
                                                               "SetTransportDownloadLimit");
}

Napi::Value TransportDownloadBurst(const Napi::CallbackInfo& info) {
  return NumberSetting<::TransportDownloadBurst>(info);
}

Napi::Value SetTransportDownloadBurst(const Napi::CallbackInfo& info) {
  return SetNumberSetting<int32_t, ::SetTransportDownloadBurst>(info, "expected managerId: number, burst: number",
                                                                "SetTransportDownloadBurst");
}

Napi::Value MaxStorageOperationRetries(const Napi::CallbackInfo& info) {
  return NumberSetting<::MaxStorageOperationRetries>(info);
}

Napi::Value SetMaxStorageOperationRetries(const Napi::CallbackInfo& info) {
  return SetNumberSetting<uint32_t, ::SetMaxStorageOperationRetries>(
      info, "expected managerId: number, retries: number", "SetMaxStorageOperationRetries");
}

Napi::Value MaxStorageOperationConcurrency(const Napi::CallbackInfo& info) {
  return NumberSetting<::MaxStorageOperationConcurrency>(info);
}

Napi::Value SetMaxStorageOperationConcurrency(const Napi::CallbackInfo& info) {
  return SetNumberSetting<uint32_t, ::SetMaxStorageOperationConcurrency>(
      info, "expected managerId: number, concurrency: number", "SetMaxStorageOperationConcurrency");
}

Napi::Value CredentialsFileUsed(const Napi::CallbackInfo& info) { return StringOfManager<::CredentialsFileUsed>(info); }

Napi::Value StartAuthorization(const Napi::CallbackInfo& info) { return StringOfManager<::StartAuthorization>(info); }

Napi::Value WaitAuthorization(const Napi::CallbackInfo& info) {
  return CallOnManager<::WaitAuthorization>(info, "WaitAuthorization");
}

Napi::Value CancelAuthorization(const Napi::CallbackInfo& info) {
  return CallOnManager<::CancelAuthorization>(info, "CancelAuthorization");
}

}  // namespace caddis::transfer
