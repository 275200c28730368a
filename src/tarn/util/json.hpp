// JSON text helpers shared by the metadata block and the side files.
#pragma once

#include <string>
#include <string_view>

#include <json/value.h>

namespace tarn {

// Throws std::runtime_error "FromJsonString: " + the parser's errors.
Json::Value FromJsonString(std::string_view text);

// No spaces or line breaks; object members in ascending byte order of their keys.
std::string ToCompactJsonString(const Json::Value& json);

}  // namespace tarn
