/* C interface of libnivra, the Nivra image codec. */
#ifndef NIVRA_NIVRA_H
#define NIVRA_NIVRA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NIVRA_API __attribute__((visibility("default")))

/* 0 = success; the other codes are listed below. */
typedef int32_t bm_status;

enum {
  BM_OK = 0,
  BM_MEMORY_ALLOCATION_FAILED = 1,
  BM_MISSING_INITIALIZATION = 2,
  BM_UNKNOWN_ERROR = 3,
  BM_COULD_NOT_READ_FILE = 5,
  BM_COULD_NOT_WRITE_FILE = 6,
  BM_INVALID_FILE_CONTENT = 7,
  BM_NO_PARAMETERS_FOR_IDENTIFIER = 8,
  BM_PARAMETERS_NOT_USABLE = 9,
  BM_TOO_FEW_PIXELS = 10,
  BM_PARAMETER_OUT_OF_RANGE = 11,
  BM_INCOMPATIBLE_IMAGE = 17,
  BM_NO_SUCH_CFA = 18
};

/* Encodes width x height 16-bit pixels (host order) exactly: decoding gives every
 * value back, also in images that carry an embedded header. destination_length
 * holds the capacity on entry and the encoded size on return. Returns 17 when the
 * output would not fit, without writing past the capacity. */
NIVRA_API bm_status nivra_encode(const uint16_t* pixels, int32_t width, int32_t height,
                                 uint8_t* destination, int32_t* destination_length);

/* Decodes exactly pixel_count pixels. Malformed or truncated input, and pixels
 * that do not match the stream's checksums, give 7. */
NIVRA_API bm_status nivra_decode(const uint8_t* source, int32_t source_size,
                                 uint16_t* destination, int32_t pixel_count);

/* Static description text of a status; unknown codes give the text of 3. */
NIVRA_API const char* bm_status_description(bm_status status);

#ifdef __cplusplus
}
#endif

#endif
