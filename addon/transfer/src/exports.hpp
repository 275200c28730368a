// The 44 functions the module exports, each under its own name.
#pragma once

#include <napi.h>

namespace caddis::transfer {

Napi::Object Init(Napi::Env env, Napi::Object exports);

// Managers.
Napi::Value Version(const Napi::CallbackInfo& info);
Napi::Value NewManager(const Napi::CallbackInfo& info);
Napi::Value DeleteManager(const Napi::CallbackInfo& info);

// Host, credentials and settings (synchronous).
Napi::Value LoadCredentials(const Napi::CallbackInfo& info);
Napi::Value Host(const Napi::CallbackInfo& info);
Napi::Value SetHost(const Napi::CallbackInfo& info);
Napi::Value AccessToken(const Napi::CallbackInfo& info);
Napi::Value SetAccessToken(const Napi::CallbackInfo& info);
Napi::Value TransportConcurrency(const Napi::CallbackInfo& info);
Napi::Value SetTransportConcurrency(const Napi::CallbackInfo& info);
Napi::Value TransportUploadLimit(const Napi::CallbackInfo& info);
Napi::Value SetTransportUploadLimit(const Napi::CallbackInfo& info);
Napi::Value TransportUploadBurst(const Napi::CallbackInfo& info);
Napi::Value SetTransportUploadBurst(const Napi::CallbackInfo& info);
Napi::Value TransportDownloadLimit(const Napi::CallbackInfo& info);
Napi::Value SetTransportDownloadLimit(const Napi::CallbackInfo& info);
Napi::Value TransportDownloadBurst(const Napi::CallbackInfo& info);
Napi::Value SetTransportDownloadBurst(const Napi::CallbackInfo& info);
Napi::Value MaxStorageOperationRetries(const Napi::CallbackInfo& info);
Napi::Value SetMaxStorageOperationRetries(const Napi::CallbackInfo& info);
Napi::Value MaxStorageOperationConcurrency(const Napi::CallbackInfo& info);
Napi::Value SetMaxStorageOperationConcurrency(const Napi::CallbackInfo& info);
Napi::Value CredentialsFileUsed(const Napi::CallbackInfo& info);
Napi::Value StartAuthorization(const Napi::CallbackInfo& info);
Napi::Value WaitAuthorization(const Napi::CallbackInfo& info);
Napi::Value CancelAuthorization(const Napi::CallbackInfo& info);

// Long operations returning Promises.
Napi::Value RefreshToken(const Napi::CallbackInfo& info);
Napi::Value Authorize(const Napi::CallbackInfo& info);
Napi::Value AuthorizeWithTimeout(const Napi::CallbackInfo& info);
Napi::Value EnqueueDownloads(const Napi::CallbackInfo& info);
Napi::Value EnqueueUploads(const Napi::CallbackInfo& info);
Napi::Value ExecuteQueue(const Napi::CallbackInfo& info);
Napi::Value Download(const Napi::CallbackInfo& info);
Napi::Value Upload(const Napi::CallbackInfo& info);
Napi::Value CheckStorage(const Napi::CallbackInfo& info);
Napi::Value RelocateStorage(const Napi::CallbackInfo& info);

// Calibration registry, log directory, cloud sync.
Napi::Value CalibrationRegistryDefaultInitialize(const Napi::CallbackInfo& info);
Napi::Value CalibrationRegistryLoadPath(const Napi::CallbackInfo& info);
Napi::Value CalibrationRegistryClear(const Napi::CallbackInfo& info);
Napi::Value CalibrationRegistryGetCameraIdentifiers(const Napi::CallbackInfo& info);
Napi::Value AddLogDirectory(const Napi::CallbackInfo& info);
Napi::Value CloudSyncRegisterNew(const Napi::CallbackInfo& info);
Napi::Value CloudSyncConnectExisting(const Napi::CallbackInfo& info);
Napi::Value CloudSyncUnregister(const Napi::CallbackInfo& info);

}  // namespace caddis::transfer
