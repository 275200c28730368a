// The calls into libtarn: compressing a source into a storage's pending object and
// proving that it restores, restoring a stored object into a local file, and the codec
// library's calibration registry. libtarn's walks read and write through the stream
// buffers of byte_streams.hpp, so no staging copy is made anywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "checksum.hpp"
#include "object_record.hpp"
#include "random_access.hpp"
#include "token_bucket.hpp"

namespace caddistransfer {

struct Summed {
  uint64_t size = 0;
  Digest checksum;
};

struct ProducedObject {
  Encoding encoding = Encoding::kTarn;
  Summed source;    // every byte of the source, read once while it was encoded
  Summed restored;  // what decoding the written object gives back
  Summed object;    // the written object's own bytes
};

// Writes the stored form of `source` into `object` from offset 0, every byte through
// `bucket`, then reads the object back and decodes it: without a calibration id it must
// restore to exactly the source's bytes. With `verbatim`, and for empty sources and
// TIFFs whose pixels are already Nivra-encoded, the object is the source's bytes.
// Throws SourceError for failures of the source or the codec, TransferError for the
// object's, and TransferError when the object does not restore to the source.
ProducedObject ProduceObject(const std::filesystem::path& source_path, RandomAccessReader& source,
                             RandomAccessFile& object, const std::optional<std::string>& calibration_id,
                             TokenBucket* bucket, bool verbatim);

// Copies `from` into `to` from offset 0 and sums what passed. A failure to read `from`
// throws SourceError when `from_is_source`.
Summed CopyVerbatim(RandomAccessReader& from, RandomAccessFile& to, TokenBucket* bucket, bool from_is_source);

// The size and checksum of every byte of `reader`.
Summed SumOf(RandomAccessReader& reader, TokenBucket* bucket);

struct DecodedObject {
  Summed restored;  // what was written to `out`
  Summed object;    // the object's own bytes, all of them
};

// Decodes a stored object (libtarn's compressed form) into `out` (or only sums it when
// null). Throws IntegrityError when the object cannot be decoded, TransferError when it
// cannot be read or `out` cannot be written.
DecodedObject DecodeObject(RandomAccessReader& object, RandomAccessFile* out, TokenBucket* bucket);

// Throws PermanentError when the registry has no parameters for the id.
void RequireCalibration(const std::string& calibration_id);
// A warning in the library log (libtarn's), for what callers cannot be told otherwise.
void LogWarning(const std::string& text);

uint64_t LoadDefaultCalibrations();
uint64_t LoadCalibrations(const char* path);
void ClearCalibrations();

}  // namespace caddistransfer
