/* Public C interface of libcaddistransfer: transfer managers, storages, queues,
 * credentials and transport settings.
 *
 * Strings are NUL-terminated UTF-8 and only need to live for the call. An error
 * result is NULL on success, else a malloc'ed message; the caller frees it, and
 * every returned string, with free(). All functions may be called concurrently,
 * also for one manager. */
#ifndef CADDISTRANSFER_H
#define CADDISTRANSFER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CADDIS_API __attribute__((visibility("default")))

/* Managers. A new id is 1..255; 0 means no manager could be created. */
CADDIS_API uint8_t NewManager(void);
CADDIS_API char* Version(void);
CADDIS_API char* DeleteManager(uint8_t id);

/* Credentials and authorization. */
CADDIS_API char* LoadCredentials(uint8_t id, const char* organization, const char* path);
CADDIS_API char* Authorize(uint8_t id);
CADDIS_API char* AuthorizeWithTimeout(uint8_t id, int64_t timeout_seconds);
CADDIS_API char* RefreshToken(uint8_t id);
CADDIS_API char* StartAuthorization(uint8_t id); /* verification address; NULL = no such manager */
CADDIS_API char* WaitAuthorization(uint8_t id);
CADDIS_API char* CancelAuthorization(uint8_t id);

/* Strings of a manager; NULL = no such manager. */
CADDIS_API char* Host(uint8_t id);
CADDIS_API char* AccessToken(uint8_t id);
CADDIS_API char* CredentialsFileUsed(uint8_t id);
CADDIS_API char* SetHost(uint8_t id, const char* host);
CADDIS_API char* SetAccessToken(uint8_t id, const char* access_token);

/* Transport settings. Getters return 0 for an unknown manager. Limits are bytes
 * per second (0 = unlimited), bursts bytes. */
CADDIS_API uint32_t TransportConcurrency(uint8_t id);
CADDIS_API char* SetTransportConcurrency(uint8_t id, uint32_t concurrency);
CADDIS_API double TransportUploadLimit(uint8_t id);
CADDIS_API char* SetTransportUploadLimit(uint8_t id, double limit);
CADDIS_API int32_t TransportUploadBurst(uint8_t id);
CADDIS_API char* SetTransportUploadBurst(uint8_t id, int32_t burst);
CADDIS_API double TransportDownloadLimit(uint8_t id);
CADDIS_API char* SetTransportDownloadLimit(uint8_t id, double limit);
CADDIS_API int32_t TransportDownloadBurst(uint8_t id);
CADDIS_API char* SetTransportDownloadBurst(uint8_t id, int32_t burst);
CADDIS_API uint32_t MaxStorageOperationRetries(uint8_t id);
CADDIS_API char* SetMaxStorageOperationRetries(uint8_t id, uint32_t retries);
CADDIS_API uint32_t MaxStorageOperationConcurrency(uint8_t id);
CADDIS_API char* SetMaxStorageOperationConcurrency(uint8_t id, uint32_t concurrency);

/* Storages. */
CADDIS_API char* CheckStorage(uint8_t id, const char* storage_id);
CADDIS_API char* RelocateStorage(uint8_t id, const char* storage_id, const char* url);

/* Transfers. An empty storage list (NULL, 0) means every storage of the manager. */
CADDIS_API char* Upload(uint8_t id, const char* source, const char* target, const char* calibration_id,
                        const char* const* storages, size_t storage_count);
CADDIS_API char* Download(uint8_t id, const char* source, const char* target_directory,
                          const char* const* storages, size_t storage_count);

/* Queues. queue_id is a writable NUL-terminated buffer; the library never makes it longer. */
CADDIS_API char* EnqueueUploads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count,
                                const char* target, const char* calibration_id, const char* const* storages,
                                size_t storage_count);
CADDIS_API char* EnqueueDownloads(uint8_t id, char* queue_id, const char* const* sources, size_t source_count,
                                  const char* target_directory, const char* const* storages,
                                  size_t storage_count);
CADDIS_API char* ExecuteQueue(uint8_t id, const char* queue_id);

/* Camera calibration registry of the codec library. */
CADDIS_API uint64_t CalibrationRegistryDefaultInitialize(void);
CADDIS_API uint64_t CalibrationRegistryLoadPath(const char* path);
CADDIS_API void CalibrationRegistryClear(void);

#ifdef __cplusplus
}
#endif

#endif
