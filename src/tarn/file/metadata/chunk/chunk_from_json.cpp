// Picks the chunk kind from the keys of its JSON object.
#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"

namespace tarn {

std::unique_ptr<Chunk> Chunk::FromJson(const Json::Value& json, int version) {
  if (!json.isObject()) throw bad_metadata("chunk JSON is not an object");
  if (json.isMember("width")) {
    if (json.isMember("channels")) return chunk::InterleavedImage::FromJson(json, version);
    return chunk::Image::FromJson(json, version);
  }
  return chunk::UnspecifiedData::FromJson(json, version);
}

}  // namespace tarn
