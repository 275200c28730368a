/* Public C interface of libtarn. */
#ifndef TARN_TARN_H
#define TARN_TARN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARN_API __attribute__((visibility("default")))

/* 32-bit status codes; numerically the codec library's bm_status. */
typedef enum TarnStatus {
  kTarnStatusOk = 0,
  kTarnStatusMemoryAllocationFailed = 1,
  kTarnStatusMissingInitialization = 2,
  kTarnStatusUnknownError = 3,
  kTarnStatusCouldNotReadFile = 5,
  kTarnStatusCouldNotWriteFile = 6,
  kTarnStatusInvalidFileContent = 7,
  kTarnStatusNoParametersForIdentifier = 8,
  kTarnStatusParametersNotUsable = 9,
  kTarnStatusTooFewPixels = 10,
  kTarnStatusParameterOutOfRange = 11,
  kTarnStatusIncompatibleImage = 17,
  kTarnStatusNoSuchCfa = 18,
  kTarnStatusStopped = 19, /* the caller asked the operation to stop (TarnStopOperations) */
  kTarnStatusForce32Bit = 0x7fffffff
} TarnStatus;

TARN_API const char* TarnVersion(void);
TARN_API const char* TarnStatusDescription(TarnStatus status);

/* metadata_json: optional path of a JSON file to write (compress) or read (decompress). */
TARN_API TarnStatus TarnCompressFile(const char* source, const char* destination, const char* metadata_json);
/* As TarnCompressFile, in the given container version: 0 or 5 (the newest) use every form;
   4 writes only forms that readers of version 4 know (lossless JPEG, LZW and PackBits
   images then stay as they are). Other values return kTarnStatusParameterOutOfRange. */
TARN_API TarnStatus TarnCompressFileInVersion(const char* source, const char* destination, const char* metadata_json,
                                              uint32_t container_version);
TARN_API TarnStatus TarnDecompressFile(const char* source, const char* destination, const char* metadata_json);
/* calibration_id: optional registry identifier applied to every image of the file. */
TARN_API TarnStatus TarnPrepareFile(const char* source, const char* destination, const char* calibration_id);
TARN_API TarnStatus TarnPrepareAndCompressFile(const char* source, const char* destination,
                                               const char* calibration_id, const char* metadata_json);

/* Asks every file operation running in the process to stop soon. Each gives up its
   unfinished output, leaves an existing destination as it was and returns
   kTarnStatusStopped; operations begun after the call are not affected. May be called
   from any thread and from a signal handler. */
TARN_API void TarnStopOperations(void);

/* Removes from `folder` (not from folders below it) the unfinished outputs that
   interrupted operations of this library left there: those whose writer provably no
   longer runs, and those of earlier versions that no process has open and that have not
   changed for an hour. A file another live process may be writing is never removed.
   `removed`, when given, is called with the path and size of each removed file.
   Returns how many were removed, or -1 when the folder cannot be read (logged). */
typedef void (*TarnLeftoverCallback)(const char* path, uint64_t size, void* context);
TARN_API int64_t TarnRemoveLeftovers(const char* folder, TarnLeftoverCallback removed, void* context);

TARN_API int TarnCalibrationRegistryDefaultInitialize(void);
TARN_API int TarnCalibrationRegistryLoadPath(const char* path);
TARN_API void TarnCalibrationRegistryClear(void);

/* 0 trace, 1 debug, 2 info, 3 warning, 4 error, 5 critical, 6 off. */
TARN_API void TarnSetLogLevel(int level);
TARN_API void TarnAddLogFile(const char* file_name);

#ifdef __cplusplus
}
#endif

#endif
