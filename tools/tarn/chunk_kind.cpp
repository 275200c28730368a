#include "chunk_kind.hpp"

#include <algorithm>
#include <array>

#include "nivra/nivra.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/chunk/reencoded_image.hpp"

namespace tarn::cli {

const char* ChunkKindName(const Chunk& chunk) {
  if (dynamic_cast<const chunk::ReencodedImage*>(&chunk) != nullptr) return "re-encoded";
  if (dynamic_cast<const chunk::InterleavedImage*>(&chunk) != nullptr) return "interleaved";
  if (dynamic_cast<const chunk::Image*>(&chunk) != nullptr) return "image";
  return "data";
}

namespace {

// Which coding a re-encoded chunk gives back on restore.
std::string ReencodedMark(const Chunk& chunk) {
  const auto* reencoded = dynamic_cast<const chunk::ReencodedImage*>(&chunk);
  if (reencoded == nullptr) return "";
  return std::string("restores ") + chunk::reencoded::CodingName(reencoded->coding.coding);
}

}  // namespace

std::string ChunkMark(const Chunk& chunk, std::istream& file, uint64_t offset) {
  if (chunk.codec != Codec::Nivra) return ReencodedMark(chunk);
  // Signature, version, mode, layout and two sizes of at most five bytes each.
  std::array<uint8_t, 32> start{};
  const auto wanted = static_cast<std::streamsize>(std::min<uint64_t>(chunk.length, start.size()));
  std::streamsize got = 0;
  try {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(start.data()), wanted);
    got = file.gcount();
  } catch (const std::ios_base::failure&) {
    got = file.gcount();
  }
  file.clear();
  const auto info = Brimlake::Nivra::read_stream_info(start.data(), static_cast<size_t>(got));
  if (!info) return "no Nivra stream";
  if (info->prepared) return kPreparedMark;
  return ReencodedMark(chunk);
}

}  // namespace tarn::cli
