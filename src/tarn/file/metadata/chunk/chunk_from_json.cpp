// Picks the chunk kind from the keys of its JSON object.
#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/chunk/reencoded_image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/util/checksum.hpp"

namespace tarn {

namespace {

std::unique_ptr<Chunk> KindFromJson(const Json::Value& json, int version) {
  // Checked first: read as a plain image, its stored pixels would be restored in place of
  // the source bytes.
  if (json.isMember("source_coding")) return chunk::ReencodedImage::FromJson(json, version);
  if (json.isMember("width")) {
    if (json.isMember("channels")) return chunk::InterleavedImage::FromJson(json, version);
    return chunk::Image::FromJson(json, version);
  }
  return chunk::UnspecifiedData::FromJson(json, version);
}

}  // namespace

std::unique_ptr<Chunk> Chunk::FromJson(const Json::Value& json, int version) {
  if (!json.isObject()) throw bad_metadata("chunk JSON is not an object");
  std::unique_ptr<Chunk> chunk = KindFromJson(json, version);
  // Any kind may carry the checksum of its stored bytes.
  if (const Json::Value* checksum = json.find("checksum", "checksum" + 8)) {
    chunk->checksum = checksum->isString() ? util::ParseChecksumText(checksum->asString()) : std::nullopt;
    if (!chunk->checksum) throw bad_metadata("chunk \"checksum\" is not 16 hexadecimal digits");
  }
  return chunk;
}

}  // namespace tarn
