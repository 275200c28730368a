// Registration of transfer.node and its export table.
#include <clocale>

#include "exports.hpp"

namespace caddis::transfer {

namespace {

struct Export {
  const char* name;
  Napi::Function::Callback function;
};

// The order is part of the module's interface.
constexpr Export kExports[] = {
    {"Version", Version},
    {"NewManager", NewManager},
    {"DeleteManager", DeleteManager},
    {"LoadCredentials", LoadCredentials},
    {"Host", Host},
    {"SetHost", SetHost},
    {"AccessToken", AccessToken},
    {"SetAccessToken", SetAccessToken},
    {"TransportConcurrency", TransportConcurrency},
    {"SetTransportConcurrency", SetTransportConcurrency},
    {"TransportUploadLimit", TransportUploadLimit},
    {"SetTransportUploadLimit", SetTransportUploadLimit},
    {"TransportUploadBurst", TransportUploadBurst},
    {"SetTransportUploadBurst", SetTransportUploadBurst},
    {"TransportDownloadLimit", TransportDownloadLimit},
    {"SetTransportDownloadLimit", SetTransportDownloadLimit},
    {"TransportDownloadBurst", TransportDownloadBurst},
    {"SetTransportDownloadBurst", SetTransportDownloadBurst},
    {"MaxStorageOperationRetries", MaxStorageOperationRetries},
    {"SetMaxStorageOperationRetries", SetMaxStorageOperationRetries},
    {"MaxStorageOperationConcurrency", MaxStorageOperationConcurrency},
    {"SetMaxStorageOperationConcurrency", SetMaxStorageOperationConcurrency},
    {"CredentialsFileUsed", CredentialsFileUsed},
    {"RefreshToken", RefreshToken},
    {"StartAuthorization", StartAuthorization},
    {"WaitAuthorization", WaitAuthorization},
    {"CancelAuthorization", CancelAuthorization},
    {"Authorize", Authorize},
    {"AuthorizeWithTimeout", AuthorizeWithTimeout},
    {"EnqueueDownloads", EnqueueDownloads},
    {"EnqueueUploads", EnqueueUploads},
    {"ExecuteQueue", ExecuteQueue},
    {"Download", Download},
    {"Upload", Upload},
    {"CheckStorage", CheckStorage},
    {"RelocateStorage", RelocateStorage},
    {"CalibrationRegistryDefaultInitialize", CalibrationRegistryDefaultInitialize},
    {"CalibrationRegistryLoadPath", CalibrationRegistryLoadPath},
    {"CalibrationRegistryClear", CalibrationRegistryClear},
    {"CalibrationRegistryGetCameraIdentifiers", CalibrationRegistryGetCameraIdentifiers},
    {"AddLogDirectory", AddLogDirectory},
    {"CloudSyncRegisterNew", CloudSyncRegisterNew},
    {"CloudSyncConnectExisting", CloudSyncConnectExisting},
    {"CloudSyncUnregister", CloudSyncUnregister},
};
static_assert(std::size(kExports) == 44);

}  // namespace

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  // Paths and numbers must not depend on the user's locale.
  std::setlocale(LC_ALL, "C");
  for (const auto& entry : kExports) {
    exports.Set(entry.name, Napi::Function::New(env, entry.function, entry.name));
  }
  return exports;
}

}  // namespace caddis::transfer

namespace {
napi_value RegisterTransfer(napi_env env, napi_value exports) {
  // Turns an Error thrown by Init into a JavaScript exception and returns no exports.
  return Napi::RegisterModule(env, exports, caddis::transfer::Init);
}
}  // namespace

NAPI_MODULE(transfer, RegisterTransfer)
