// Copies a file so that the destination either holds every byte of the source,
// verified, or is not touched at all.
#pragma once

#include <cstdint>
#include <filesystem>

#include "token_bucket.hpp"

namespace caddistransfer {

enum class Placement {
  kReplace,    // an existing destination is replaced in one step
  kNoReplace,  // an existing destination is an error and stays as it was
};

struct CopyOutcome {
  uint64_t size = 0;
  uint64_t checksum = 0;
};

// The bytes pass `bucket` on their way. They go to a hidden temporary beside the
// destination, which is synced, read back and compared (size and checksum) with what
// was read from the source before it is renamed into place. A source that changes
// while it is copied fails the copy. The temporary never outlives a failure.
CopyOutcome VerifiedCopy(const std::filesystem::path& source, const std::filesystem::path& destination,
                         TokenBucket& bucket, Placement placement);

// Renames `from` to `to` according to `placement` and syncs the directory.
void PlaceFile(const std::filesystem::path& from, const std::filesystem::path& to, Placement placement);

}  // namespace caddistransfer
