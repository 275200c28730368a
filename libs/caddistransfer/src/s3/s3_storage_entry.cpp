#include "s3_storage_entry.hpp"

#include <memory>
#include <set>
#include <sstream>

#include <curl/curl.h>
#include <json/json.h>

#include "s3_names.hpp"

namespace caddistransfer::s3 {
namespace {

bool IsLoopbackHost(const std::string& endpoint) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  char* host = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, endpoint.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    return false;
  }
  const std::string name = host;
  curl_free(host);
  return name == "localhost" || name == "[::1]" || name.starts_with("127.");
}

}  // namespace

StorageLocation ParseStorageUrl(const std::string& url) {
  const auto refuse = [&](const std::string& why) {
    return PermanentError("storage URL '" + url + "' " + why + " (expected s3://bucket or s3://bucket/prefix)");
  };
  static constexpr std::string_view kScheme = "s3://";
  if (!url.starts_with(kScheme)) throw refuse("does not start with s3://");
  const std::string rest = url.substr(kScheme.size());
  if (rest.find_first_of("?#") != std::string::npos) throw refuse("has a query or fragment");
  const auto slash = rest.find('/');
  StorageLocation location;
  location.bucket = rest.substr(0, slash);
  try {
    CheckBucketName(location.bucket);
  } catch (const PermanentError&) {
    throw refuse("has no valid bucket name");
  }
  if (slash == std::string::npos) return location;
  const auto decoded = DecodePercent(rest.substr(slash + 1));
  if (!decoded) throw refuse("has a malformed percent escape or %00");
  std::string prefix = *decoded;
  if (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty()) return location;
  std::istringstream segments(prefix);
  for (std::string segment; std::getline(segments, segment, '/');) {
    if (segment.empty() || segment == "." || segment == "..") throw refuse("has an empty, '.' or '..' segment");
  }
  location.prefix = prefix + "/";
  return location;
}

StorageEntry ParseStorageEntry(const Json::Value& entry, const std::string& context) {
  if (!entry.isObject()) throw PermanentError(context + ": an S3 storage must be an object");
  static const std::set<std::string> kKeys = {"url",        "endpoint", "region",          "access_key",
                                              "secret_key", "ca_file",  "allow_plain_http"};
  for (const auto& name : entry.getMemberNames()) {
    if (kKeys.count(name) == 0) throw PermanentError(context + ": unknown key \"" + name + "\"");
  }
  const auto text = [&](const char* key, bool required) -> std::string {
    const Json::Value& value = entry[key];
    if (value.isNull() && !required) return {};
    if (!value.isString() || (required && value.asString().empty())) {
      throw PermanentError(context + ": \"" + key + "\" must be a " + (required ? "non-empty " : "") + "string");
    }
    return value.asString();
  };

  StorageEntry storage;
  try {
    storage.location = ParseStorageUrl(text("url", true));
  } catch (const PermanentError& error) {
    throw PermanentError(context + ": " + error.what());
  }
  storage.settings.endpoint = text("endpoint", true);
  if (const std::string region = text("region", false); !region.empty()) storage.settings.region = region;
  storage.settings.access_key = text("access_key", true);
  storage.settings.secret_key = text("secret_key", true);
  storage.settings.ca_file = text("ca_file", false);

  const Json::Value& plain = entry["allow_plain_http"];
  if (!plain.isNull() && !plain.isBool()) throw PermanentError(context + ": \"allow_plain_http\" must be true or false");
  // Plain http lets anyone on the path read and alter the data; loopback is private.
  if (storage.settings.endpoint.starts_with("http://") && !plain.asBool() &&
      !IsLoopbackHost(storage.settings.endpoint)) {
    throw PermanentError(context + ": endpoint " + storage.settings.endpoint +
                         " uses plain http; use https, or set \"allow_plain_http\": true for a trusted network");
  }
  return storage;
}

StorageEntry ParseStorageEntryText(const std::string& json, const std::string& context) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  Json::Value entry;
  std::string errors;
  std::istringstream in(json);
  if (!Json::parseFromStream(builder, in, &entry, &errors)) throw PermanentError(context + " is not valid JSON: " + errors);
  return ParseStorageEntry(entry, context);
}

}  // namespace caddistransfer::s3
