#include "tarn/file/metadata/chunk/image/json_fields.hpp"

#include <limits>
#include <stdexcept>

namespace tarn::chunk::image {

const Json::Value* FindMember(const Json::Value& json, std::string_view key) {
  return json.find(key.data(), key.data() + key.size());
}

JsonFields::JsonFields(const Json::Value& json, std::string refusal) : json_(json), refusal_(std::move(refusal)) {
  if (!json_.isObject()) Refuse();
}

void JsonFields::Refuse() const { throw std::invalid_argument(refusal_); }

const Json::Value& JsonFields::Member(const char* key) const {
  const Json::Value* value = FindMember(json_, key);
  if (value == nullptr) Refuse();
  return *value;
}

void JsonFields::Require(std::initializer_list<const char*> keys) const {
  for (const char* key : keys) Member(key);
}

std::endian JsonFields::Endianness(int version) const {
  if (version < 3) return std::endian::little;
  const Json::Value* value = FindMember(json_, "endianness");
  if (value == nullptr) throw std::invalid_argument("JSON does not contain endianness information");
  if (value->isString()) {
    if (value->asString() == "l") return std::endian::little;
    if (value->asString() == "b") return std::endian::big;
  }
  throw std::invalid_argument("JSON contains invalid endianness information");
}

Codec JsonFields::CodecValue() const {
  const Json::Value& value = Member("codec");
  if (!value.isInt()) Refuse();
  return static_cast<Codec>(static_cast<uint32_t>(value.asInt()));
}

uint64_t JsonFields::UInt64(const char* key) const {
  const Json::Value& value = Member(key);
  if (!value.isUInt64()) Refuse();
  return value.asUInt64();
}

uint32_t JsonFields::UInt32(const char* key) const {
  const Json::Value& value = Member(key);
  if (!value.isUInt()) Refuse();
  return value.asUInt();
}

uint32_t JsonFields::UInt32OrZero(const char* key) const {
  const Json::Value* value = FindMember(json_, key);
  return value == nullptr || value->isNull() ? 0 : UInt32(key);
}

uint16_t JsonFields::UInt16(const char* key) const {
  const uint32_t value = UInt32(key);
  if (value > std::numeric_limits<uint16_t>::max()) Refuse();
  return static_cast<uint16_t>(value);
}

}  // namespace tarn::chunk::image
