// One file copied to and from an S3 server with libcurl alone: a multipart upload and a
// download by ranged GETs, `parallel` parts in flight, each request signed by libcurl,
// nothing checked beyond the HTTP status. The peer the S3 benchmarks compare against.
#pragma once

#include <cstdint>
#include <string>

namespace plain_s3 {

struct Target {
  std::string endpoint;  // http(s)://host:port
  std::string region;
  std::string access_key;
  std::string secret_key;
  std::string bucket;
  std::string key;  // letters, digits, '/', '-', '_' and '.' only
};

// Both return "" on success, or what failed.
std::string Upload(const Target& target, const std::string& path, uint64_t part_size, int parallel);
std::string Download(const Target& target, const std::string& path, uint64_t part_size, int parallel);

}  // namespace plain_s3
