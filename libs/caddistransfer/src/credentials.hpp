// The credentials file: per organization a host, an access token with its expiry,
// the user code of a finished authorization and the storages (id -> file:// URL, or
// an object naming an S3 bucket, its endpoint and keys).
// The format is described in the library's README.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "s3/s3_storage_entry.hpp"

namespace caddistransfer {

struct Credentials {
  std::string host;
  std::string access_token;
  std::optional<std::chrono::system_clock::time_point> expires_at;  // none: no expiry
  std::string user_code;
  std::map<std::string, std::string> storages;               // id -> file:// URL
  std::map<std::string, s3::StorageEntry> s3_storages;        // id -> bucket, endpoint and keys

  bool TokenValidAt(std::chrono::system_clock::time_point when) const {
    return !access_token.empty() && (!expires_at || *expires_at > when);
  }
};

// Throws PermanentError naming the file and the fault.
Credentials ReadCredentials(const std::filesystem::path& file, const std::string& organization);

// "2027-01-31T12:00:00Z" <-> time point (UTC, whole seconds).
std::optional<std::chrono::system_clock::time_point> ParseUtcTime(const std::string& text);
std::string FormatUtcTime(std::chrono::system_clock::time_point when);

}  // namespace caddistransfer
