#include "tarn/file/metadata/parsers.hpp"

#include <stdexcept>
#include <string>

#include "tarn/error.hpp"

namespace tarn::metadata {
namespace {

// A block without "chunks" lists none: versions 0 and 1 then describe the whole file as
// plain data, later versions fail on the empty list.
const Json::Value& ChunksArray(const Json::Value& json) {
  static const Json::Value kNone(Json::arrayValue);
  const Json::Value& chunks = json["chunks"];
  if (chunks.isNull()) return kNone;
  if (!chunks.isArray()) throw bad_metadata("metadata \"chunks\" is not an array");
  return chunks;
}

// Versions 0 and 1 keyed chunks by offset and left gaps to be filled.
Metadata FromOffsetMap(const Json::Value& json, int version, uint64_t length) {
  ChunkMap map;
  for (const Json::Value& item : ChunksArray(json)) {
    if (!item.isObject()) throw bad_metadata("chunk JSON is not an object");
    const uint64_t offset = item["offset"].asUInt64();
    if (!map.emplace(offset, Chunk::FromJson(item, version)).second) {
      throw bad_metadata("two chunks share offset " + std::to_string(offset));
    }
  }
  return Metadata::FromReader(length, std::move(map));
}

Metadata FromContiguousChunks(const Json::Value& json, int version) {
  Chunks chunks;
  uint64_t expected = 0;
  for (const Json::Value& item : ChunksArray(json)) {
    if (!item.isObject()) throw bad_metadata("chunk JSON is not an object");
    const uint64_t offset = item["offset"].asUInt64();
    if (offset != expected) {
      throw std::invalid_argument("Chunk offset in JSON is not consistent [ Expected: " + std::to_string(expected) +
                                  " - Given: " + std::to_string(offset) + " ]");
    }
    chunks.push_back(Chunk::FromJson(item, version));
    expected += chunks.back()->length;
  }
  Metadata metadata(json["length"].asUInt64(), std::move(chunks));
  ValidateDecodedLength(metadata, json);
  return metadata;
}

}  // namespace

const std::map<unsigned, Parser> kParsersByVersion = {
    {0, FromJsonVersion0}, {1, FromJsonVersion1}, {2, FromJsonVersion2},
    {3, FromJsonVersion3}, {4, FromJsonVersion4}, {5, FromJsonVersion5},
};

Metadata FromJsonVersion0(const Json::Value& json) { return FromOffsetMap(json, 0, json["length"].asUInt64()); }

Metadata FromJsonVersion1(const Json::Value& json) {
  const uint64_t length = json.isMember("length") ? json["length"].asUInt64() : json["decoded_length"].asUInt64();
  Metadata metadata = FromOffsetMap(json, 1, length);
  ValidateDecodedLength(metadata, json);
  return metadata;
}

Metadata FromJsonVersion2(const Json::Value& json) { return FromContiguousChunks(json, 2); }
Metadata FromJsonVersion3(const Json::Value& json) { return FromContiguousChunks(json, 3); }
Metadata FromJsonVersion4(const Json::Value& json) { return FromContiguousChunks(json, 4); }
Metadata FromJsonVersion5(const Json::Value& json) { return FromContiguousChunks(json, 5); }

void ValidateDecodedLength(const Metadata& metadata, const Json::Value& json) {
  const uint64_t computed = metadata.DecodedLength();
  const uint64_t given = json["decoded_length"].asUInt64();
  if (computed != given) {
    throw std::invalid_argument("Metadata decoded_length in JSON is not consistent. [ Expected: " +
                                std::to_string(computed) + " - Given: " + std::to_string(given) + " ]");
  }
}

}  // namespace tarn::metadata
