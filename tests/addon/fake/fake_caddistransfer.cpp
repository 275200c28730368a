// Stand-in for libcaddistransfer in the module tests. Every call is appended as one
// line to the file named by FAKE_CADDIS_LOG; the answers come from the environment:
//   FAKE_CADDIS_ERROR      message returned by every function with an error result
//   FAKE_CADDIS_NULL       set: string results (Version, Host, ...) are NULL
//   FAKE_CADDIS_NUMBER     value of the numeric getters and counts (default 0)
//   FAKE_CADDIS_NEW_ID     result of NewManager (default 1)
//   FAKE_CADDIS_QUEUE_ID   written into the queue id buffer by the enqueue functions
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "caddistransfer.h"

namespace {

std::string Text(const char* text) { return text == nullptr ? "NULL" : "\"" + std::string(text) + "\""; }

std::string List(const char* const* texts, size_t count) {
  if (texts == nullptr) return "NULL/" + std::to_string(count);
  std::string list = "[";
  for (size_t i = 0; i < count; ++i) list += (i ? "," : "") + Text(texts[i]);
  return list + "]/" + std::to_string(count);
}

void Log(const std::string& line) {
  const char* file = std::getenv("FAKE_CADDIS_LOG");
  if (file == nullptr) return;
  if (FILE* out = std::fopen(file, "a")) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fclose(out);
  }
}

char* Error(const std::string& call) {
  Log(call);
  const char* message = std::getenv("FAKE_CADDIS_ERROR");
  return message == nullptr ? nullptr : ::strdup(message);
}

char* String(const std::string& call, const char* value) {
  Log(call);
  return std::getenv("FAKE_CADDIS_NULL") != nullptr ? nullptr : ::strdup(value);
}

int64_t Number(const std::string& call) {
  Log(call);
  const char* value = std::getenv("FAKE_CADDIS_NUMBER");
  return value == nullptr ? 0 : std::strtoll(value, nullptr, 10);
}

std::string Id(uint8_t id) { return std::to_string(id); }

void RewriteQueueId(char* buffer) {
  const char* replacement = std::getenv("FAKE_CADDIS_QUEUE_ID");
  if (replacement == nullptr) return;
  const size_t room = std::strlen(buffer);
  const size_t length = std::min(room, std::strlen(replacement));
  std::memcpy(buffer, replacement, length);
  buffer[length] = '\0';
}

}  // namespace

extern "C" {

uint8_t NewManager(void) {
  Log("NewManager");
  const char* value = std::getenv("FAKE_CADDIS_NEW_ID");
  return static_cast<uint8_t>(value == nullptr ? 1 : std::atoi(value));
}
char* Version(void) { return String("Version", "fake"); }
char* DeleteManager(uint8_t id) { return Error("DeleteManager " + Id(id)); }
char* LoadCredentials(uint8_t id, const char* organization, const char* path) {
  return Error("LoadCredentials " + Id(id) + " " + Text(organization) + " " + Text(path));
}
char* Authorize(uint8_t id) { return Error("Authorize " + Id(id)); }
char* AuthorizeWithTimeout(uint8_t id, int64_t timeout) {
  return Error("AuthorizeWithTimeout " + Id(id) + " " + std::to_string(timeout));
}
char* RefreshToken(uint8_t id) { return Error("RefreshToken " + Id(id)); }
char* StartAuthorization(uint8_t id) { return String("StartAuthorization " + Id(id), "https://fake/activate"); }
char* WaitAuthorization(uint8_t id) { return Error("WaitAuthorization " + Id(id)); }
char* CancelAuthorization(uint8_t id) { return Error("CancelAuthorization " + Id(id)); }
char* Host(uint8_t id) { return String("Host " + Id(id), "fake-host"); }
char* AccessToken(uint8_t id) { return String("AccessToken " + Id(id), "fake-token"); }
char* CredentialsFileUsed(uint8_t id) { return String("CredentialsFileUsed " + Id(id), "fake.json"); }
char* SetHost(uint8_t id, const char* host) { return Error("SetHost " + Id(id) + " " + Text(host)); }
char* SetAccessToken(uint8_t id, const char* token) { return Error("SetAccessToken " + Id(id) + " " + Text(token)); }
uint32_t TransportConcurrency(uint8_t id) { return static_cast<uint32_t>(Number("TransportConcurrency " + Id(id))); }
char* SetTransportConcurrency(uint8_t id, uint32_t value) {
  return Error("SetTransportConcurrency " + Id(id) + " " + std::to_string(value));
}
double TransportUploadLimit(uint8_t id) { return static_cast<double>(Number("TransportUploadLimit " + Id(id))); }
char* SetTransportUploadLimit(uint8_t id, double value) {
  return Error("SetTransportUploadLimit " + Id(id) + " " + std::to_string(value));
}
int32_t TransportUploadBurst(uint8_t id) { return static_cast<int32_t>(Number("TransportUploadBurst " + Id(id))); }
char* SetTransportUploadBurst(uint8_t id, int32_t value) {
  return Error("SetTransportUploadBurst " + Id(id) + " " + std::to_string(value));
}
double TransportDownloadLimit(uint8_t id) { return static_cast<double>(Number("TransportDownloadLimit " + Id(id))); }
char* SetTransportDownloadLimit(uint8_t id, double value) {
  return Error("SetTransportDownloadLimit " + Id(id) + " " + std::to_string(value));
}
int32_t TransportDownloadBurst(uint8_t id) { return static_cast<int32_t>(Number("TransportDownloadBurst " + Id(id))); }
char* SetTransportDownloadBurst(uint8_t id, int32_t value) {
  return Error("SetTransportDownloadBurst " + Id(id) + " " + std::to_string(value));
}
uint32_t MaxStorageOperationRetries(uint8_t id) {
  return static_cast<uint32_t>(Number("MaxStorageOperationRetries " + Id(id)));
}
char* SetMaxStorageOperationRetries(uint8_t id, uint32_t value) {
  return Error("SetMaxStorageOperationRetries " + Id(id) + " " + std::to_string(value));
}
uint32_t MaxStorageOperationConcurrency(uint8_t id) {
  return static_cast<uint32_t>(Number("MaxStorageOperationConcurrency " + Id(id)));
}
char* SetMaxStorageOperationConcurrency(uint8_t id, uint32_t value) {
  return Error("SetMaxStorageOperationConcurrency " + Id(id) + " " + std::to_string(value));
}
char* CheckStorage(uint8_t id, const char* storage) { return Error("CheckStorage " + Id(id) + " " + Text(storage)); }
char* RelocateStorage(uint8_t id, const char* storage, const char* url) {
  return Error("RelocateStorage " + Id(id) + " " + Text(storage) + " " + Text(url));
}
char* Upload(uint8_t id, const char* source, const char* target, const char* calibration, const char* const* storages,
             size_t count) {
  return Error("Upload " + Id(id) + " " + Text(source) + " " + Text(target) + " " + Text(calibration) + " " +
               List(storages, count));
}
char* Download(uint8_t id, const char* source, const char* target, const char* const* storages, size_t count) {
  return Error("Download " + Id(id) + " " + Text(source) + " " + Text(target) + " " + List(storages, count));
}
char* EnqueueUploads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count, const char* target,
                     const char* calibration, const char* const* storages, size_t storage_count) {
  const std::string call = "EnqueueUploads " + Id(id) + " " + Text(queue_id) + " " + List(sources, source_count) +
                           " " + Text(target) + " " + Text(calibration) + " " + List(storages, storage_count);
  RewriteQueueId(queue_id);
  return Error(call);
}
char* EnqueueDownloads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count,
                       const char* target, const char* const* storages, size_t storage_count) {
  const std::string call = "EnqueueDownloads " + Id(id) + " " + Text(queue_id) + " " + List(sources, source_count) +
                           " " + Text(target) + " " + List(storages, storage_count);
  RewriteQueueId(queue_id);
  return Error(call);
}
char* ExecuteQueue(uint8_t id, const char* queue_id) { return Error("ExecuteQueue " + Id(id) + " " + Text(queue_id)); }
uint64_t CalibrationRegistryDefaultInitialize(void) {
  return static_cast<uint64_t>(Number("CalibrationRegistryDefaultInitialize"));
}
uint64_t CalibrationRegistryLoadPath(const char* path) {
  return static_cast<uint64_t>(Number("CalibrationRegistryLoadPath " + Text(path)));
}
void CalibrationRegistryClear(void) { Log("CalibrationRegistryClear"); }

}  // extern "C"
