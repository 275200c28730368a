// Readers of the metadata JSON, one per version ever written.
#pragma once

#include <map>

#include <json/value.h>

#include "tarn/file/metadata/metadata.hpp"

namespace tarn::metadata {

using Parser = Metadata (*)(const Json::Value&);

// JSON "version" -> parser.
extern const std::map<unsigned, Parser> kParsersByVersion;

Metadata FromJsonVersion0(const Json::Value& json);
Metadata FromJsonVersion1(const Json::Value& json);
Metadata FromJsonVersion2(const Json::Value& json);
Metadata FromJsonVersion3(const Json::Value& json);
Metadata FromJsonVersion4(const Json::Value& json);
// Version 4 and re-encoded images.
Metadata FromJsonVersion5(const Json::Value& json);

// Throws std::invalid_argument when json["decoded_length"] (absent = 0) differs.
void ValidateDecodedLength(const Metadata& metadata, const Json::Value& json);

}  // namespace tarn::metadata
