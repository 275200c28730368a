#include "info.hpp"

#include <cstdio>

#include <fmt/format.h>

#include "tarn/file/metadata/metadata.hpp"

namespace tarn::cli {
namespace {

// The kind follows from the chunk's JSON keys, as when it is read back.
const char* KindName(const Chunk& chunk) {
  const Json::Value json = chunk.ToJson();
  if (json.isMember("width")) return json.isMember("channels") ? "interleaved" : "image";
  return "data";
}

std::string Ratio(uint64_t compressed, uint64_t decoded) {
  if (compressed == 0) return "-";
  return fmt::format("{:.2f}", static_cast<double>(decoded) / static_cast<double>(compressed));
}

}  // namespace

std::string HumanSize(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  return unit == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", value, units[unit]);
}

bool PrintInfo(const std::string& path) {
  try {
    const Metadata metadata = Metadata::DeserializeFromFile(path);
    fmt::print("{}\n", path);
    fmt::print("{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}\n", "offset", "kind", "codec", "length", "decoded length",
               "ratio");
    uint64_t offset = 0;
    for (const auto& chunk : metadata.chunks) {
      fmt::print("{:>14}  {:<11}  {:<7}  {:>14}  {:>14}  {:>7}\n", offset, KindName(*chunk), CodecName(chunk->codec),
                 chunk->length, chunk->DecodedLength(), Ratio(chunk->length, chunk->DecodedLength()));
      offset += chunk->length;
    }
    fmt::print("{} chunks; file {} ({} of metadata), decoded {}; ratio {}\n", metadata.chunks.size(),
               HumanSize(metadata.length), HumanSize(metadata.SerializedLength()), HumanSize(metadata.DecodedLength()),
               Ratio(metadata.length, metadata.DecodedLength()));
    return true;
  } catch (const std::exception& error) {
    fmt::print(stderr, "tarn: {}: not a readable compressed file: {}\n", path, error.what());
    return false;
  }
}

}  // namespace tarn::cli
