// How bucket names, object keys and query parameters travel in a path-style request
// URL. The signing code of libcurl takes the path and query exactly as given, so they
// must already be in the server's canonical form: keys percent-encoded except
// A-Za-z0-9-._~ and '/', query values fully encoded, parameters sorted by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace caddistransfer::s3 {

using QueryParameters = std::vector<std::pair<std::string, std::string>>;

std::string EncodeKey(std::string_view key);
std::string EncodeQueryComponent(std::string_view text);
// Decodes %XX escapes; nullopt for a malformed escape or %00.
std::optional<std::string> DecodePercent(std::string_view text);

// "a=1&b=&c=x%2Fy": sorted by name, valueless parameters written "name=".
std::string CanonicalQuery(QueryParameters parameters);

// Throw PermanentError for names a path-style URL cannot carry safely.
void CheckBucketName(const std::string& bucket);
void CheckKey(const std::string& key);
// Metadata travels as x-amz-meta-<name>: <value> headers.
void CheckMetadata(const std::string& name, const std::string& value);

}  // namespace caddistransfer::s3
