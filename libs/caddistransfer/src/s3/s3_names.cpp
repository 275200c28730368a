#include "s3_names.hpp"

#include <algorithm>

#include "error.hpp"

namespace caddistransfer::s3 {
namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string Encode(std::string_view text, bool keep_slash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const unsigned char c : text) {
    if (IsUnreserved(c) || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EncodeKey(std::string_view key) { return Encode(key, true); }

std::string EncodeQueryComponent(std::string_view text) { return Encode(text, false); }

std::optional<std::string> DecodePercent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string CanonicalQuery(QueryParameters parameters) {
  for (auto& [name, value] : parameters) {
    name = EncodeQueryComponent(name);
    value = EncodeQueryComponent(value);
  }
  std::sort(parameters.begin(), parameters.end());
  std::string query;
  for (const auto& [name, value] : parameters) {
    if (!query.empty()) query += '&';
    query += name + "=" + value;
  }
  return query;
}

void CheckBucketName(const std::string& bucket) {
  // Real S3 allows fewer names; on-site servers may allow capitals and underscores.
  const bool plain = std::all_of(bucket.begin(), bucket.end(), [](unsigned char c) { return IsUnreserved(c) && c != '~'; });
  if (bucket.empty() || bucket.size() > 255 || !plain || bucket == "." || bucket == "..") {
    throw PermanentError("'" + bucket + "' is not a bucket name (letters, digits, '.', '-', '_')");
  }
}

void CheckKey(const std::string& key) {
  if (key.empty() || key.size() > 1024) {
    throw PermanentError("an object key must have 1 to 1024 bytes, not " + std::to_string(key.size()));
  }
  if (key.find('\0') != std::string::npos) throw PermanentError("an object key cannot hold a NUL byte");
}

void CheckMetadata(const std::string& name, const std::string& value) {
  const bool name_ok = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
  if (!name_ok) throw PermanentError("metadata name '" + name + "' must use only a-z, 0-9 and '-'");
  // Printable ASCII without edge spaces, so the header reaches the server (and the
  // signature) exactly as written.
  const bool value_ok = std::all_of(value.begin(), value.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
  if (!value_ok || (!value.empty() && (value.front() == ' ' || value.back() == ' '))) {
    throw PermanentError("metadata '" + name + "' must be printable ASCII without leading or trailing spaces");
  }
}

}  // namespace caddistransfer::s3
