#include "tarn/archive/archive_byte_source.hpp"

#include <algorithm>
#include <cstring>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"

namespace tarn::archive {
namespace {

// Headers of even large files take a few megabytes; anything beyond is read through.
constexpr uint64_t kMaxKeptBytes = uint64_t{64} << 20;

bool IsImage(const Chunk& chunk) { return dynamic_cast<const chunk::Image*>(&chunk) != nullptr ||
                                          dynamic_cast<const chunk::InterleavedImage*>(&chunk) != nullptr; }

}  // namespace

void ArchiveByteSource::ReadAt_(uint64_t offset, std::span<uint8_t> out) {
  uint64_t done = 0;
  while (done < out.size()) {
    const uint64_t at = offset + done;
    const size_t index = archive_.ChunkAt(at);
    const Chunk& chunk = *archive_.metadata().chunks[index];
    const uint64_t begin = archive_.SourceOffset(index);
    const uint64_t take = std::min<uint64_t>(begin + chunk.DecodedLength() - at, out.size() - done);
    auto kept = kept_.find(index);
    if (kept == kept_.end() && !IsImage(chunk) && kept_bytes_ + chunk.DecodedLength() <= kMaxKeptBytes) {
      kept = kept_.emplace(index, archive_.DecodeChunk(index)).first;
      kept_bytes_ += chunk.DecodedLength();
    }
    if (kept != kept_.end()) {
      std::memcpy(out.data() + done, kept->second.data() + (at - begin), take);
    } else {
      archive_.Read(at, out.subspan(done, take));
    }
    done += take;
  }
}

}  // namespace tarn::archive
