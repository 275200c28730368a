#include "info.hpp"

#include <algorithm>
#include <fstream>
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

// The mark of every chunk (ChunkMark), read from the file's chunks.
std::vector<std::string> Marks(const std::string& path, const Metadata& metadata) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> marks;
  uint64_t offset = 0;
  for (const auto& chunk : metadata.chunks) {
    marks.push_back(ChunkMark(*chunk, file, offset));
    offset += chunk->length;
  }
  return marks;
}

size_t PreparedCount(const std::vector<std::string>& marks) {
  return static_cast<size_t>(std::count(marks.begin(), marks.end(), kPreparedMark));
}

std::string Table(const std::string& path, const Metadata& metadata, const std::vector<std::string>& marks) {
  std::string text = fmt::format("{}\n{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}\n", path, "offset", "kind", "codec",
                                 "length", "decoded length", "ratio");
  uint64_t offset = 0;
  for (size_t i = 0; i < metadata.chunks.size(); ++i) {
    const Chunk& chunk = *metadata.chunks[i];
    std::string line = fmt::format("{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}", offset, ChunkKindName(chunk),
                                   CodecName(chunk.codec), chunk.length, chunk.DecodedLength(),
                                   Ratio(chunk.length, chunk.DecodedLength()));
    if (!marks[i].empty()) line += "  " + marks[i];
    text += line + "\n";
    offset += chunk.length;
  }
  const size_t prepared = PreparedCount(marks);
  text += fmt::format("{} chunks{}; file {} ({} of metadata), decoded {}; ratio {}", metadata.chunks.size(),
                      prepared == 0 ? "" : fmt::format(" ({} {})", prepared, kPreparedMark), HumanSize(metadata.length),
                      HumanSize(metadata.SerializedLength()), HumanSize(metadata.DecodedLength()),
                      Ratio(metadata.length, metadata.DecodedLength()));
  return text;
}

// The chunk's own members as stored, with the codec by name, its place in the file and its mark.
Json::Value ChunkJson(const Chunk& chunk, uint64_t offset, const std::string& mark) {
  Json::Value json = chunk.ToJson();
  json["offset"] = static_cast<Json::UInt64>(offset);
  json["kind"] = ChunkKindName(chunk);
  json["codec"] = std::string(CodecName(chunk.codec));
  json["decoded_length"] = static_cast<Json::UInt64>(chunk.DecodedLength());
  if (!mark.empty()) json["mark"] = mark;
  return json;
}

Json::Value FileJson(const std::string& path, const Metadata& metadata, const std::vector<std::string>& marks) {
  Json::Value json(Json::objectValue);
  json["file"] = path;
  json["length"] = static_cast<Json::UInt64>(metadata.length);
  json["metadata_length"] = static_cast<Json::UInt64>(metadata.SerializedLength());
  json["decoded_length"] = static_cast<Json::UInt64>(metadata.DecodedLength());
  json["prepared_chunks"] = static_cast<Json::UInt64>(PreparedCount(marks));
  json["chunks"] = Json::Value(Json::arrayValue);
  uint64_t offset = 0;
  for (size_t i = 0; i < metadata.chunks.size(); ++i) {
    json["chunks"].append(ChunkJson(*metadata.chunks[i], offset, marks[i]));
    offset += metadata.chunks[i]->length;
  }
  return json;
}

}  // namespace

size_t PrintInfo(const std::vector<std::string>& paths, bool json, Console& console) {
  size_t failures = 0;
  Json::Value files(Json::arrayValue);
  for (const std::string& path : paths) {
    std::optional<Metadata> metadata;
    std::string error_text;
    try {
      if (!Metadata::IsCompressedFile(path)) {
        error_text = "not a compressed file";
      } else {
        try {
          metadata.emplace(Metadata::DeserializeFromFile(path));
        } catch (const std::exception& error) {
          error_text = std::string("damaged description: ") + error.what();
        }
      }
    } catch (const std::exception& error) {
      error_text = error.what();  // the file cannot be read
    }
    if (!metadata) {
      console.Err(fmt::format("tarn: {}: {}", path, error_text));
      ++failures;
      if (json) {
        Json::Value failed(Json::objectValue);
        failed["file"] = path;
        failed["error"] = error_text;
        files.append(failed);
      }
      continue;
    }
    const std::vector<std::string> marks = Marks(path, *metadata);
    if (json) {
      files.append(FileJson(path, *metadata, marks));
    } else {
      console.Out(Table(path, *metadata, marks));
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
