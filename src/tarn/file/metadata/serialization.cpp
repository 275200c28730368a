// The metadata block: JSON form, the self-referential total length, and reading it back.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

#include "tarn/error.hpp"
#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/metadata/parsers.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/json.hpp"
#include "tarn/util/stream.hpp"

namespace tarn {
namespace {

constexpr int kMaxSerializeIterations = 999;
// Sorted keys put the top-level "length" last but one, so the block always ends like this.
constexpr std::string_view kLengthKey = "\"length\":";
constexpr std::string_view kBlockEnd = ",\"version\":4}";

// Replaces the digits of the top-level "length" (just before the block's end).
void ReplaceTopLevelLength(std::string& block, uint64_t value) {
  const bool ends_right =
      block.size() >= kBlockEnd.size() && block.compare(block.size() - kBlockEnd.size(), kBlockEnd.size(), kBlockEnd) == 0;
  size_t digits_end = block.size() - kBlockEnd.size();
  size_t digits_begin = digits_end;
  while (ends_right && digits_begin > 0 && std::isdigit(static_cast<unsigned char>(block[digits_begin - 1]))) {
    --digits_begin;
  }
  if (!ends_right || digits_begin == digits_end || digits_begin < kLengthKey.size() ||
      block.compare(digits_begin - kLengthKey.size(), kLengthKey.size(), kLengthKey) != 0) {
    throw implementation_error("metadata block does not end with its length and version");
  }
  block.replace(digits_begin, digits_end - digits_begin, std::to_string(value));
}

uint64_t StreamSize(std::istream& in) {
  in.seekg(0, std::ios::end);
  const auto end = in.tellg();
  if (end < 0) throw bad_metadata("cannot determine the size of the compressed file");
  return static_cast<uint64_t>(end);
}

}  // namespace

Json::Value Metadata::ToJson() const {
  Json::Value json(Json::objectValue);
  json["version"] = metadata::Footer::kCurrentVersion;
  json["length"] = static_cast<Json::UInt64>(length);
  json["decoded_length"] = static_cast<Json::UInt64>(DecodedLength());
  Json::Value& items = json["chunks"] = Json::Value(Json::arrayValue);
  uint64_t offset = 0;
  for (const auto& chunk : chunks) {
    Json::Value item = chunk->ToJson();
    item["offset"] = static_cast<Json::UInt64>(offset);
    items.append(std::move(item));
    offset += chunk->length;
  }
  return json;
}

Metadata Metadata::FromJson(const Json::Value& json) {
  if (!json.isObject()) throw bad_metadata("metadata JSON is not an object");
  // An absent "version" reads as 0, the first layout.
  const Json::Value& version_value = json["version"];
  if (!version_value.isNull() && !version_value.isUInt()) {
    throw bad_metadata("Metadata version " + ToCompactJsonString(version_value) + " not supported");
  }
  const unsigned version = version_value.isNull() ? 0 : version_value.asUInt();
  const auto parser = metadata::kParsersByVersion.find(version);
  if (parser == metadata::kParsersByVersion.end()) {
    throw bad_metadata("Metadata version " + std::to_string(version) + " not supported");
  }
  return parser->second(json);
}

Metadata Metadata::SerializeToStream(std::ostream& out) const {
  std::string block = ToCompactJsonString(ToJson());
  uint64_t candidate = length;
  for (int iteration = 1;; ++iteration) {
    const uint64_t target = length + block.size() + metadata::Footer::kSize;
    if (candidate == target) {
      WriteSpanToStream(std::span(reinterpret_cast<const uint8_t*>(block.data()), block.size()), out);
      metadata::Footer{metadata::Footer::kCurrentVersion, block.size()}.WriteTo(out);
      return Metadata(target, metadata::CloneChunks(chunks));
    }
    if (iteration >= 2) {
      Logger()->warn("iterated {} times while serializing metadata, data length = {}, metadata length = {}",
                     iteration, length, block.size());
    }
    ReplaceTopLevelLength(block, target);
    candidate = target;
    if (iteration > kMaxSerializeIterations) {
      throw implementation_error(
          "Metadata::SerializeToStream could not serialize metadata including its serialized length");
    }
  }
}

Metadata Metadata::DeserializeFromStream(std::istream& in) {
  const uint64_t size = StreamSize(in);
  if (size < metadata::Footer::kSize) throw bad_metadata("file is too short to hold a footer");
  in.seekg(-static_cast<std::streamoff>(metadata::Footer::kSize), std::ios::end);
  const metadata::Footer footer = metadata::Footer::ReadFrom(in);
  if (footer.version < 2 || footer.version > 4) {
    throw bad_metadata("Invalid footer version " + std::to_string(footer.version));
  }
  // Checked before anything is allocated or sought: a damaged footer may claim any size.
  if (footer.length == 0 || footer.length > size - metadata::Footer::kSize) {
    throw bad_metadata("footer metadata length " + std::to_string(footer.length) + " does not fit a file of " +
                       std::to_string(size) + " bytes");
  }
  in.seekg(footer.MetadataStartOffsetFromEnd(), std::ios::end);
  std::string block(footer.length, '\0');
  if (ReadStreamToSpan(in, std::span(reinterpret_cast<uint8_t*>(block.data()), block.size())) != block.size()) {
    throw bad_metadata("file ends inside its metadata block");
  }
  const Json::Value json = FromJsonString(block);
  if (!json.isObject()) throw bad_metadata("metadata block is not a JSON object");
  Metadata metadata = FromJson(json);
  // Current blocks describe the whole file; a different length means the file was cut or
  // extended, and its chunks cannot be trusted to lie where the block says.
  // (Blocks before version 2 counted lengths differently and are taken as they are.)
  if (json["version"].asUInt() >= 2) {
    if (metadata.length != size) {
      throw bad_metadata("metadata describes " + std::to_string(metadata.length) + " bytes but the file has " +
                         std::to_string(size));
    }
    if (metadata.CurrentLength() > size - metadata::Footer::kSize - footer.length) {
      throw bad_metadata("chunks overlap the metadata block");
    }
  }
  return metadata;
}

Metadata Metadata::DeserializeFromFile(const std::filesystem::path& path) {
  std::ifstream in;
  in.exceptions(std::ios::badbit | std::ios::failbit);
  in.open(path, std::ios::binary);
  return DeserializeFromStream(in);
}

}  // namespace tarn
