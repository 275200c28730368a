// An S3 storage as the credentials file names it: a location s3://bucket/prefix plus
// the endpoint, region and keys to reach it (the form is in the library's README).
#pragma once

#include <string>

#include "s3_client.hpp"

namespace Json {
class Value;
}

namespace caddistransfer::s3 {

struct StorageLocation {
  std::string bucket;
  std::string prefix;  // empty, or ends with '/'

  std::string KeyFor(const std::string& name) const { return prefix + name; }
};

struct StorageEntry {
  StorageLocation location;
  ClientSettings settings;
};

// "s3://bucket" or "s3://bucket/some/prefix" (percent escapes decoded). Throws
// PermanentError for other schemes, empty, "." or ".." segments and %00.
StorageLocation ParseStorageUrl(const std::string& url);

// One storage object of the credentials file; `context` says where it is for messages
// ("credentials file /x.json, storage 'archive'"). Messages never quote the secret.
StorageEntry ParseStorageEntry(const Json::Value& entry, const std::string& context);
// The same from JSON text holding just that object.
StorageEntry ParseStorageEntryText(const std::string& json, const std::string& context);

}  // namespace caddistransfer::s3
