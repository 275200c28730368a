// The metadata block: JSON form, the self-referential total length, and reading it back.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "tarn/error.hpp"
#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/metadata/parsers.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/checksum.hpp"
#include "tarn/util/json.hpp"
#include "tarn/util/stream.hpp"

namespace tarn {
namespace {

constexpr int kMaxSerializeIterations = 999;
// Sorted keys put the top-level "length" last but one, so the block always ends like this.
constexpr std::string_view kLengthKey = "\"length\":";

// Replaces the digits of the top-level "length" (just before the block's end).
void ReplaceTopLevelLength(std::string& block, uint64_t value, unsigned version) {
  const std::string kBlockEnd = ",\"version\":" + std::to_string(version) + "}";
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

// XXH3-64 of the block's bytes with the 16 digits of its checksum as '0's. The key sorts
// before every other, so the digits always stand right after this opening.
constexpr std::string_view kBlockChecksumKey = "block_checksum";
constexpr std::string_view kBlockChecksumOpening = "{\"block_checksum\":\"";

uint64_t BlockChecksum(std::string_view block) {
  static const std::string kZeros(util::kChecksumTextLength, '0');
  const size_t digits_end = kBlockChecksumOpening.size() + util::kChecksumTextLength;
  util::Xxh3Stream sum;
  sum.Update(std::as_bytes(std::span(block.substr(0, kBlockChecksumOpening.size()))));
  sum.Update(std::as_bytes(std::span(std::string_view(kZeros))));
  sum.Update(std::as_bytes(std::span(block.substr(digits_end))));
  return sum.Digest();
}

bool HasChecksumOpening(std::string_view block) {
  return block.size() > kBlockChecksumOpening.size() + util::kChecksumTextLength &&
         block.starts_with(kBlockChecksumOpening) &&
         block[kBlockChecksumOpening.size() + util::kChecksumTextLength] == '"';
}

void FillBlockChecksum(std::string& block) {
  if (!HasChecksumOpening(block)) throw implementation_error("metadata block does not start with its checksum");
  block.replace(kBlockChecksumOpening.size(), util::kChecksumTextLength, util::ChecksumText(BlockChecksum(block)));
}

// A block that carries a checksum must match it byte for byte; blocks written before
// they carried one are read as they are.
void VerifyBlockChecksum(std::string_view block, const Json::Value& json) {
  const Json::Value* stored = json.find(kBlockChecksumKey.data(), kBlockChecksumKey.data() + kBlockChecksumKey.size());
  if (stored == nullptr) return;
  const std::string_view digits = HasChecksumOpening(block)
                                      ? block.substr(kBlockChecksumOpening.size(), util::kChecksumTextLength)
                                      : std::string_view();
  const std::optional<uint64_t> expected = util::ParseChecksumText(digits);
  if (!expected || !stored->isString() || stored->asString() != digits) {
    throw bad_metadata("metadata block carries a malformed \"block_checksum\"");
  }
  if (BlockChecksum(block) != *expected) throw bad_metadata("metadata block does not match its checksum");
}

// The JSON "version"; a block without one is of the first layout, 0.
unsigned BlockVersion(const Json::Value& json) {
  const Json::Value& version = json["version"];
  if (version.isNull()) return 0;
  if (!version.isUInt()) throw bad_metadata("Metadata version " + ToCompactJsonString(version) + " not supported");
  return version.asUInt();
}

// Where the block lies, from a footer of a version this library reads. The length is
// checked before anything is allocated or sought: a damaged footer may claim any size.
struct BlockPlace {
  metadata::Footer footer;
  uint64_t file_size;
};

BlockPlace LocateBlock(std::istream& in) {
  const uint64_t size = StreamSize(in);
  if (size < metadata::Footer::kSize) throw bad_metadata("file is too short to hold a footer");
  in.seekg(-static_cast<std::streamoff>(metadata::Footer::kSize), std::ios::end);
  const metadata::Footer footer = metadata::Footer::ReadFrom(in);
  if (footer.version < 2 || footer.version > metadata::Footer::kNewestVersion) {
    throw bad_metadata("Invalid footer version " + std::to_string(footer.version));
  }
  if (footer.length == 0 || footer.length > size - metadata::Footer::kSize) {
    throw bad_metadata("footer metadata length " + std::to_string(footer.length) + " does not fit a file of " +
                       std::to_string(size) + " bytes");
  }
  return {footer, size};
}

}  // namespace

Json::Value Metadata::ToJson() const {
  Json::Value json(Json::objectValue);
  json["version"] = ContainerVersion();
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
  const unsigned version = BlockVersion(json);
  const auto parser = metadata::kParsersByVersion.find(version);
  if (parser == metadata::kParsersByVersion.end()) {
    throw bad_metadata("Metadata version " + std::to_string(version) + " not supported");
  }
  return parser->second(json);
}

unsigned Metadata::ContainerVersion() const {
  unsigned version = metadata::Footer::kCurrentVersion;
  for (const auto& chunk : chunks) version = std::max(version, chunk->ContainerVersion());
  return version;
}

Metadata Metadata::SerializeToStream(std::ostream& out) const {
  const unsigned version = ContainerVersion();
  Json::Value json = ToJson();
  // Zeros for now: the checksum covers the final bytes, "length" included.
  json[std::string(kBlockChecksumKey)] = util::ChecksumText(0);
  std::string block = ToCompactJsonString(json);
  uint64_t candidate = length;
  for (int iteration = 1;; ++iteration) {
    const uint64_t target = length + block.size() + metadata::Footer::kSize;
    if (candidate == target) {
      FillBlockChecksum(block);
      WriteSpanToStream(std::span(reinterpret_cast<const uint8_t*>(block.data()), block.size()), out);
      metadata::Footer{version, block.size()}.WriteTo(out);
      return Metadata(target, metadata::CloneChunks(chunks));
    }
    if (iteration >= 2) {
      Logger()->warn("iterated {} times while serializing metadata, data length = {}, metadata length = {}",
                     iteration, length, block.size());
    }
    ReplaceTopLevelLength(block, target, version);
    candidate = target;
    if (iteration > kMaxSerializeIterations) {
      throw implementation_error(
          "Metadata::SerializeToStream could not serialize metadata including its serialized length");
    }
  }
}

Metadata Metadata::DeserializeFromStream(std::istream& in) {
  const auto [footer, size] = LocateBlock(in);
  in.seekg(footer.MetadataStartOffsetFromEnd(), std::ios::end);
  std::string block(footer.length, '\0');
  if (ReadStreamToSpan(in, std::span(reinterpret_cast<uint8_t*>(block.data()), block.size())) != block.size()) {
    throw bad_metadata("file ends inside its metadata block");
  }
  const Json::Value json = FromJsonString(block);
  if (!json.isObject()) throw bad_metadata("metadata block is not a JSON object");
  VerifyBlockChecksum(block, json);
  Metadata metadata = FromJson(json);
  // This library writes footers 4 and 5 with a block of the same version only: another version
  // behind it has been damaged (a "version" key that lost a bit would read as the first
  // layout). Blocks behind older footers are taken with the version they name.
  const unsigned version = BlockVersion(json);
  if (footer.version >= 4 && version != footer.version) {
    throw bad_metadata("footer version " + std::to_string(footer.version) + " does not match metadata version " +
                       std::to_string(version));
  }
  // The chunks lie in front of the block: none may reach into it, whatever the version.
  const uint64_t block_start = size - metadata::Footer::kSize - footer.length;
  if (metadata.CurrentLength() > block_start) throw bad_metadata("chunks overlap the metadata block");
  // Current blocks describe the whole file; a different length means the file was cut or
  // extended, and its chunks cannot be trusted to lie where the block says.
  // (Blocks before version 2 counted lengths differently and are taken as they are.)
  if (version >= 2 && metadata.length != size) {
    throw bad_metadata("metadata describes " + std::to_string(metadata.length) + " bytes but the file has " +
                       std::to_string(size));
  }
  // The writer of footer 4 puts the block right after the last chunk.
  if (footer.version >= 4 && metadata.CurrentLength() != block_start) {
    throw bad_metadata("chunks end at " + std::to_string(metadata.CurrentLength()) + " but the metadata block starts at " +
                       std::to_string(block_start));
  }
  return metadata;
}

bool Metadata::IsCompressedStream(std::istream& in) {
  try {
    const BlockPlace place = LocateBlock(in);
    // The ends of the block, where JSON white space may surround the object.
    const auto edge = static_cast<std::streamoff>(std::min<uint64_t>(place.footer.length, 64));
    std::string head(static_cast<size_t>(edge), '\0');
    std::string tail(static_cast<size_t>(edge), '\0');
    in.seekg(place.footer.MetadataStartOffsetFromEnd(), std::ios::end);
    in.read(head.data(), edge);
    in.seekg(-static_cast<std::streamoff>(metadata::Footer::kSize) - edge, std::ios::end);
    in.read(tail.data(), edge);
    if (!in) return false;
    constexpr std::string_view kSpace = " \t\r\n";
    const size_t first = head.find_first_not_of(kSpace);
    const size_t last = tail.find_last_not_of(kSpace);
    return first != std::string::npos && head[first] == '{' && last != std::string::npos && tail[last] == '}';
  } catch (const std::exception&) {
    return false;
  }
}

bool Metadata::IsCompressedFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::ios_base::failure("could not open " + path.string(), std::error_code(errno, std::generic_category()));
  }
  return IsCompressedStream(in);
}

Metadata Metadata::DeserializeFromFile(const std::filesystem::path& path) {
  std::ifstream in;
  in.exceptions(std::ios::badbit | std::ios::failbit);
  in.open(path, std::ios::binary);
  return DeserializeFromStream(in);
}

}  // namespace tarn
