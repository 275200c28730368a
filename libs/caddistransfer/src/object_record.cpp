#include "object_record.hpp"

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <json/json.h>

namespace caddistransfer {
namespace {

constexpr const char* kFormat = "caddistransfer-record";
constexpr unsigned kVersion = 1;
constexpr const char* kSelfChecksumKey = "record_xxh3_128";

std::string Write(const Json::Value& value, const char* indentation) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = indentation;
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

// The self checksum covers the compact text of every other member (sorted by key).
Digest SelfChecksum(Json::Value value) {
  value.removeMember(kSelfChecksumKey);
  return ChecksumOf(Write(value, ""));
}

const Json::Value& Member(const Json::Value& json, const char* key) {
  if (!json.isMember(key)) throw std::runtime_error(std::string("record has no \"") + key + "\"");
  return json[key];
}

uint64_t UInt64(const Json::Value& json, const char* key) {
  const Json::Value& value = Member(json, key);
  if (!value.isUInt64()) throw std::runtime_error(std::string("record \"") + key + "\" is not a count");
  return value.asUInt64();
}

Digest DigestOf(const Json::Value& json, const char* key) {
  const Json::Value& value = Member(json, key);
  const auto digest = value.isString() ? Digest::FromHex(value.asString()) : std::nullopt;
  if (!digest) throw std::runtime_error(std::string("record \"") + key + "\" is not a checksum");
  return *digest;
}

}  // namespace

std::string ObjectRecord::ToText() const {
  Json::Value json(Json::objectValue);
  json["format"] = kFormat;
  json["version"] = kVersion;
  json["encoding"] = encoding == Encoding::kTarn ? "tarn" : "verbatim";
  if (keeps_extension) json["keeps_extension"] = true;
  json["size"] = Json::UInt64{size};
  json["xxh3_128"] = checksum.Hex();
  json["source_size"] = Json::UInt64{source_size};
  json["source_xxh3_128"] = source_checksum.Hex();
  if (calibration) json["calibration"] = *calibration;
  char mode_text[8];
  std::snprintf(mode_text, sizeof mode_text, "%04o", mode & 07777);
  json["mode"] = mode_text;
  json["modified_ns"] = Json::Int64{modified_ns};
  json["object_size"] = Json::UInt64{object_size};
  json["object_xxh3_128"] = object_checksum.Hex();
  json[kSelfChecksumKey] = SelfChecksum(json).Hex();
  return Write(json, "  ") + "\n";
}

ObjectRecord ObjectRecord::FromText(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  Json::Value json;
  std::string errors;
  std::istringstream in(text);
  if (!Json::parseFromStream(builder, in, &json, &errors) || !json.isObject()) {
    throw std::runtime_error("record is not a JSON object" + (errors.empty() ? std::string() : ": " + errors));
  }
  if (!json["format"].isString() || json["format"].asString() != kFormat) {
    throw std::runtime_error(std::string("record lacks \"format\": \"") + kFormat + "\"");
  }
  if (!json["version"].isUInt() || json["version"].asUInt() != kVersion) {
    throw std::runtime_error("record version is not " + std::to_string(kVersion));
  }
  if (!(DigestOf(json, kSelfChecksumKey) == SelfChecksum(json))) {
    throw std::runtime_error("record is damaged (its own checksum does not match)");
  }
  ObjectRecord record;
  const Json::Value& encoding = Member(json, "encoding");
  if (encoding == "tarn") {
    record.encoding = Encoding::kTarn;
  } else if (encoding == "verbatim") {
    record.encoding = Encoding::kVerbatim;
  } else {
    throw std::runtime_error("record names an unknown encoding");
  }
  record.keeps_extension = json["keeps_extension"].isBool() && json["keeps_extension"].asBool();
  record.size = UInt64(json, "size");
  record.checksum = DigestOf(json, "xxh3_128");
  record.source_size = UInt64(json, "source_size");
  record.source_checksum = DigestOf(json, "source_xxh3_128");
  if (json.isMember("calibration")) record.calibration = json["calibration"].asString();
  const std::string mode = Member(json, "mode").asString();
  std::size_t used = 0;
  try {
    record.mode = static_cast<uint32_t>(std::stoul(mode, &used, 8));
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != mode.size() || record.mode > 07777) throw std::runtime_error("record \"mode\" is not octal");
  const Json::Value& modified = Member(json, "modified_ns");
  if (!modified.isInt64()) throw std::runtime_error("record \"modified_ns\" is not a time");
  record.modified_ns = modified.asInt64();
  record.object_size = UInt64(json, "object_size");
  record.object_checksum = DigestOf(json, "object_xxh3_128");
  return record;
}

}  // namespace caddistransfer
