// The exported C functions: argument checks, then the manager's work, with every
// failure turned into a malloc'ed message.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "caddistransfer.h"
#include "codec_bridge.hpp"
#include "error.hpp"
#include "manager_table.hpp"
#include "transfer_queue.hpp"
#include "transfers.hpp"

namespace caddistransfer {
namespace {

constexpr const char* kVersion = "1.0.0";

char* Duplicate(const std::string& text) {
  char* copy = ::strdup(text.c_str());
  // NULL would read as success: a failure must never be reported that way.
  if (copy == nullptr) std::abort();
  return copy;
}

template <class Work>
char* Guarded(Work&& work) {
  try {
    work();
    return nullptr;
  } catch (const std::exception& error) {
    return Duplicate(error.what());
  } catch (...) {
    return Duplicate("unexpected failure without a message");
  }
}

std::string Text(const char* text, const char* what) {
  if (text == nullptr) throw PermanentError(std::string(what) + " must not be NULL");
  return text;
}

std::vector<std::string> List(const char* const* texts, std::size_t count, const char* what) {
  if (count > 0 && texts == nullptr) throw PermanentError(std::string(what) + " must not be NULL");
  std::vector<std::string> list;
  for (std::size_t i = 0; i < count; ++i) list.push_back(Text(texts[i], what));
  return list;
}

std::optional<std::string> Optional(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

template <class Read>
char* StringOf(uint8_t id, Read&& read) {
  try {
    const auto manager = Managers().Find(id);
    if (!manager) return nullptr;
    return Duplicate(read(*manager));
  } catch (const std::exception&) {
    return nullptr;
  }
}

template <class Read>
auto SettingOf(uint8_t id, Read&& read) -> decltype(read(TransportSettings{})) {
  const auto manager = Managers().Find(id);
  return manager ? read(manager->settings()) : decltype(read(TransportSettings{})){};
}

Manager& Require(uint8_t id, std::shared_ptr<Manager>& keep) {
  keep = Managers().Require(id);
  return *keep;
}

}  // namespace
}  // namespace caddistransfer

using namespace caddistransfer;

extern "C" {

uint8_t NewManager(void) {
  try {
    return Managers().Create();
  } catch (const std::exception&) {
    return 0;
  }
}

char* Version(void) { return ::strdup(kVersion); }

char* DeleteManager(uint8_t id) {
  return Guarded([&] {
    const auto manager = Managers().Remove(id);
    if (!manager) throw PermanentError("no manager with id " + std::to_string(id));
    manager->Shutdown();
  });
}

char* LoadCredentials(uint8_t id, const char* organization, const char* path) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).LoadCredentials(Text(organization, "organization"), Text(path, "path"));
  });
}

char* Authorize(uint8_t id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).Authorize();
  });
}

char* AuthorizeWithTimeout(uint8_t id, int64_t timeout_seconds) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).AuthorizeWithTimeout(timeout_seconds);
  });
}

char* RefreshToken(uint8_t id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).RefreshToken();
  });
}

char* StartAuthorization(uint8_t id) {
  return StringOf(id, [](Manager& manager) { return manager.StartAuthorization(); });
}

char* WaitAuthorization(uint8_t id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).WaitAuthorization();
  });
}

char* CancelAuthorization(uint8_t id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).CancelAuthorization();
  });
}

char* Host(uint8_t id) {
  return StringOf(id, [](Manager& manager) { return manager.host(); });
}

char* AccessToken(uint8_t id) {
  return StringOf(id, [](Manager& manager) { return manager.access_token(); });
}

char* CredentialsFileUsed(uint8_t id) {
  return StringOf(id, [](Manager& manager) { return manager.credentials_file(); });
}

char* SetHost(uint8_t id, const char* host) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetHost(Text(host, "host"));
  });
}

char* SetAccessToken(uint8_t id, const char* access_token) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetAccessToken(Text(access_token, "access token"));
  });
}

uint32_t TransportConcurrency(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.concurrency; });
}

char* SetTransportConcurrency(uint8_t id, uint32_t concurrency) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetTransportConcurrency(concurrency);
  });
}

double TransportUploadLimit(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.upload_limit; });
}

char* SetTransportUploadLimit(uint8_t id, double limit) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetUploadLimit(limit);
  });
}

int32_t TransportUploadBurst(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.upload_burst; });
}

char* SetTransportUploadBurst(uint8_t id, int32_t burst) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetUploadBurst(burst);
  });
}

double TransportDownloadLimit(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.download_limit; });
}

char* SetTransportDownloadLimit(uint8_t id, double limit) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetDownloadLimit(limit);
  });
}

int32_t TransportDownloadBurst(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.download_burst; });
}

char* SetTransportDownloadBurst(uint8_t id, int32_t burst) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetDownloadBurst(burst);
  });
}

uint32_t MaxStorageOperationRetries(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.retries; });
}

char* SetMaxStorageOperationRetries(uint8_t id, uint32_t retries) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetRetries(retries);
  });
}

uint32_t MaxStorageOperationConcurrency(uint8_t id) {
  return SettingOf(id, [](const TransportSettings& s) { return s.storage_concurrency; });
}

char* SetMaxStorageOperationConcurrency(uint8_t id, uint32_t concurrency) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Require(id, keep).SetStorageConcurrency(concurrency);
  });
}

char* CheckStorage(uint8_t id, const char* storage_id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    CheckStorageRoot(Require(id, keep), Text(storage_id, "storage id"));
  });
}

char* RelocateStorage(uint8_t id, const char* storage_id, const char* url) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    RelocateStorageRoot(Require(id, keep), Text(storage_id, "storage id"), Text(url, "url"));
  });
}

char* Upload(uint8_t id, const char* source, const char* target, const char* calibration_id,
             const char* const* storages, size_t storage_count) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Manager& manager = Require(id, keep);
    UploadFile(manager, Text(source, "source"), Text(target, "target"), Optional(calibration_id),
               List(storages, storage_count, "storage id"));
  });
}

char* Download(uint8_t id, const char* source, const char* target_directory, const char* const* storages,
               size_t storage_count) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Manager& manager = Require(id, keep);
    DownloadFile(manager, Text(source, "source"), Text(target_directory, "target directory"),
                 List(storages, storage_count, "storage id"));
  });
}

char* EnqueueUploads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count,
                     const char* target, const char* calibration_id, const char* const* storages,
                     size_t storage_count) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Manager& manager = Require(id, keep);
    const std::string queue = Text(queue_id, "queue id");
    EnqueueUploadItems(manager, queue, List(sources, source_count, "source"), Text(target, "target"),
                       Optional(calibration_id), List(storages, storage_count, "storage id"));
  });
}

char* EnqueueDownloads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count,
                       const char* target_directory, const char* const* storages, size_t storage_count) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    Manager& manager = Require(id, keep);
    const std::string queue = Text(queue_id, "queue id");
    EnqueueDownloadItems(manager, queue, List(sources, source_count, "source"),
                         Text(target_directory, "target directory"), List(storages, storage_count, "storage id"));
  });
}

char* ExecuteQueue(uint8_t id, const char* queue_id) {
  return Guarded([&] {
    std::shared_ptr<Manager> keep;
    RunQueue(Require(id, keep), Text(queue_id, "queue id"));
  });
}

uint64_t CalibrationRegistryDefaultInitialize(void) {
  try {
    return LoadDefaultCalibrations();
  } catch (const std::exception&) {
    return 0;
  }
}

uint64_t CalibrationRegistryLoadPath(const char* path) {
  if (path == nullptr) return 0;
  try {
    return LoadCalibrations(path);
  } catch (const std::exception&) {
    return 0;
  }
}

void CalibrationRegistryClear(void) {
  try {
    ClearCalibrations();
  } catch (const std::exception&) {
    // The registry stays as it was; there is no error channel here.
  }
}

}  // extern "C"
