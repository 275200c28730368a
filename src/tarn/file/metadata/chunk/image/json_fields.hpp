// Typed reads of an image chunk's JSON keys. A value of the wrong type or out
// of range means the JSON does not describe the chunk, like a missing key.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <json/value.h>

#include "tarn/file/metadata/chunk/codec/codec.hpp"

namespace tarn::chunk::image {

// The member of an object, or null; json must be an object.
const Json::Value* FindMember(const Json::Value& json, std::string_view key);

class JsonFields {
 public:
  // refusal: the text thrown (std::invalid_argument) when a key is missing or unusable.
  JsonFields(const Json::Value& json, std::string refusal);

  void Require(std::initializer_list<const char*> keys) const;
  // "l" or "b"; from version 3 on the key is required.
  std::endian Endianness(int version) const;

  Codec CodecValue() const;
  uint64_t UInt64(const char* key) const;
  uint32_t UInt32(const char* key) const;
  uint32_t UInt32OrZero(const char* key) const;  // absent or null reads as 0
  uint16_t UInt16(const char* key) const;

 private:
  const Json::Value& Member(const char* key) const;
  [[noreturn]] void Refuse() const;

  const Json::Value& json_;
  std::string refusal_;
};

}  // namespace tarn::chunk::image
