#include "credentials.hpp"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include <json/json.h>
#include <sys/stat.h>

#include "error.hpp"

namespace caddistransfer {
namespace chr = std::chrono;

std::optional<chr::system_clock::time_point> ParseUtcTime(const std::string& text) {
  std::tm parts{};
  char zone = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &zone, &consumed) != 7 ||
      zone != 'Z' || static_cast<std::size_t>(consumed) != text.size()) {
    return std::nullopt;
  }
  if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 60) {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return chr::system_clock::from_time_t(::timegm(&parts));
}

std::string FormatUtcTime(chr::system_clock::time_point when) {
  const std::time_t seconds = chr::system_clock::to_time_t(when);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Credentials ReadCredentials(const std::filesystem::path& file, const std::string& organization) {
  const std::string where = "credentials file " + file.string();
  std::ifstream in(file, std::ios::binary);
  if (!in) throw PermanentError("cannot read " + where);
  // The file decides where uploads go: nobody but its owner and group may change it.
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) info.st_mode = 0;
  if ((info.st_mode & S_IWOTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw PermanentError(where + " is writable by other users (mode " + mode +
                         "), so anyone could redirect its storages; make it private first (chmod 600)");
  }

  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(builder, in, &root, &errors)) {
    throw PermanentError(where + " is not valid JSON: " + errors);
  }
  if (!root.isObject() || !root["organizations"].isObject()) {
    throw PermanentError(where + " has no \"organizations\" object");
  }
  const Json::Value& entry = root["organizations"][organization];
  if (!entry.isObject()) throw PermanentError("organization '" + organization + "' is not in " + where);

  const std::string context = where + ", organization '" + organization + "'";
  auto text = [&](const char* key) -> std::string {
    const Json::Value& value = entry[key];
    if (value.isNull()) return {};
    if (!value.isString()) throw PermanentError(context + ": \"" + key + "\" must be a string");
    return value.asString();
  };

  Credentials credentials;
  credentials.host = text("host");
  credentials.access_token = text("access_token");
  credentials.user_code = text("user_code");
  if (const std::string expires = text("expires_at"); !expires.empty()) {
    credentials.expires_at = ParseUtcTime(expires);
    if (!credentials.expires_at) {
      throw PermanentError(context + ": \"expires_at\" must look like 2027-01-31T12:00:00Z, not '" + expires + "'");
    }
  }
  const Json::Value& storages = entry["storages"];
  if (!storages.isNull()) {
    if (!storages.isObject()) throw PermanentError(context + ": \"storages\" must be an object");
    for (const auto& id : storages.getMemberNames()) {
      if (storages[id].isObject()) {
        credentials.s3_storages[id] = s3::ParseStorageEntry(storages[id], context + ", storage '" + id + "'");
        continue;
      }
      if (!storages[id].isString()) {
        throw PermanentError(context + ": storage '" + id + "' must be a URL string or an S3 storage object");
      }
      credentials.storages[id] = storages[id].asString();
    }
  }
  // An S3 secret is a key to the data itself: only its owner and group may read it.
  if (!credentials.s3_storages.empty() && (info.st_mode & S_IROTH) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw PermanentError(where + " holds S3 secret keys and is readable by other users (mode " + mode +
                         "); make it private first (chmod 600)");
  }
  return credentials;
}

}  // namespace caddistransfer
