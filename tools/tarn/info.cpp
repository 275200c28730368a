#include "info.hpp"

#include <memory>
#include <optional>
#include <sstream>

#include <fmt/format.h>
#include <json/writer.h>

#include "chunk_kind.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "units.hpp"

namespace tarn::cli {
namespace {

std::string Ratio(uint64_t compressed, uint64_t decoded) {
  if (compressed == 0) return "-";
  return fmt::format("{:.2f}", static_cast<double>(decoded) / static_cast<double>(compressed));
}

std::string Table(const std::string& path, const Metadata& metadata) {
  std::string text = fmt::format("{}\n{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}\n", path, "offset", "kind", "codec",
                                 "length", "decoded length", "ratio");
  uint64_t offset = 0;
  for (const auto& chunk : metadata.chunks) {
    text += fmt::format("{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}\n", offset, ChunkKindName(*chunk),
                        CodecName(chunk->codec), chunk->length, chunk->DecodedLength(),
                        Ratio(chunk->length, chunk->DecodedLength()));
    offset += chunk->length;
  }
  text += fmt::format("{} chunks; file {} ({} of metadata), decoded {}; ratio {}", metadata.chunks.size(),
                      HumanSize(metadata.length), HumanSize(metadata.SerializedLength()),
                      HumanSize(metadata.DecodedLength()), Ratio(metadata.length, metadata.DecodedLength()));
  return text;
}

// The chunk's own members as stored, with the codec by name and its place in the file.
Json::Value ChunkJson(const Chunk& chunk, uint64_t offset) {
  Json::Value json = chunk.ToJson();
  json["offset"] = static_cast<Json::UInt64>(offset);
  json["kind"] = ChunkKindName(chunk);
  json["codec"] = std::string(CodecName(chunk.codec));
  json["decoded_length"] = static_cast<Json::UInt64>(chunk.DecodedLength());
  return json;
}

Json::Value FileJson(const std::string& path, const Metadata& metadata) {
  Json::Value json(Json::objectValue);
  json["file"] = path;
  json["length"] = static_cast<Json::UInt64>(metadata.length);
  json["metadata_length"] = static_cast<Json::UInt64>(metadata.SerializedLength());
  json["decoded_length"] = static_cast<Json::UInt64>(metadata.DecodedLength());
  json["chunks"] = Json::Value(Json::arrayValue);
  uint64_t offset = 0;
  for (const auto& chunk : metadata.chunks) {
    json["chunks"].append(ChunkJson(*chunk, offset));
    offset += chunk->length;
  }
  return json;
}

}  // namespace

size_t PrintInfo(const std::vector<std::string>& paths, bool json, Console& console) {
  size_t failures = 0;
  Json::Value files(Json::arrayValue);
  for (const std::string& path : paths) {
    std::optional<Metadata> metadata;
    try {
      metadata.emplace(Metadata::DeserializeFromFile(path));
    } catch (const std::exception& error) {
      console.Err(fmt::format("tarn: {}: not a readable compressed file: {}", path, error.what()));
      ++failures;
      if (json) {
        Json::Value failed(Json::objectValue);
        failed["file"] = path;
        failed["error"] = error.what();
        files.append(failed);
      }
      continue;
    }
    if (json) {
      files.append(FileJson(path, *metadata));
    } else {
      console.Out(Table(path, *metadata));
    }
  }
  if (json) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    console.Out(Json::writeString(builder, files));
  }
  return failures;
}

}  // namespace tarn::cli
