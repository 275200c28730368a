#include "tarn/file/metadata/readers/tiff.hpp"

#include <memory>
#include <set>
#include <stdexcept>

#include <fmt/format.h>
#include <tiffio.h>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/readers/tiff/directory.hpp"
#include "tarn/file/metadata/readers/tiff/log_handlers.hpp"
#include "tarn/logger.hpp"

namespace tarn::metadata {
namespace {

// Closes the handle on every way out of the reader, exceptions included.
struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Chunks must lie inside the file and must not overlap; a map that breaks this would make
// the encoder read bytes that are not there, so the whole file is refused instead.
void ValidateChunkExtents(const ChunkMap& chunks, uint64_t file_size) {
  uint64_t previous_end = 0;
  for (const auto& [offset, chunk] : chunks) {
    if (offset < previous_end) {
      throw std::runtime_error(
          fmt::format("TIFF image data at offset {} overlaps the image data ending at {}", offset, previous_end));
    }
    if (offset > file_size || file_size - offset < chunk->length) {
      throw std::runtime_error(fmt::format(
          "TIFF image data at offset {} of {} bytes extends beyond the end of the file ({} bytes)", offset,
          chunk->length, file_size));
    }
    previous_end = offset + chunk->length;
  }
}

// Already encoded strips are only passed through when the directory rewrite can serve the
// file: directories first, then nothing but encoded strips back to back up to the end.
// Anywhere else the strips would be decoded on restore without their directories being
// adjusted, so they stay opaque data and come back byte for byte.
void KeepEncodedStripsOnlyWhenRewritable(ChunkMap& chunks, uint64_t file_size) {
  bool any_encoded = false;
  bool rewritable = !chunks.empty() && chunks.begin()->first > 0;
  uint64_t expected_offset = chunks.empty() ? 0 : chunks.begin()->first;
  for (const auto& [offset, chunk] : chunks) {
    any_encoded = any_encoded || chunk->codec == Codec::Nivra;
    rewritable = rewritable && chunk->codec == Codec::Nivra && offset == expected_offset;
    expected_offset = offset + chunk->length;
  }
  if (!any_encoded) return;
  if (rewritable && expected_offset == file_size) return;
  Logger()->warn("Nivra-encoded strips do not follow the directories back to back up to the end of the file; "
                 "they are kept as opaque data.");
  std::erase_if(chunks, [](const auto& entry) { return entry.second->codec == Codec::Nivra; });
}

}  // namespace

ChunkMap ReadTiff(const std::filesystem::path& path) {
  ChunkMap chunks;
  TIFFSetWarningHandler(WarningsHandler);
  TIFFSetErrorHandler(ErrorsHandler);
  const TiffHandle tiff(TIFFOpen(path.string().c_str(), "r"));
  if (!tiff) {
    Logger()->error("Failed to open TIFF file: {}", path.string());
    throw std::runtime_error("TIFFOpen failed");
  }
  // libtiff refuses directory loops itself; the set is a second guard that costs nothing.
  std::set<uint64_t> visited;
  uint32_t index = 1;
  do {
    if (!visited.insert(TIFFCurrentDirOffset(tiff.get())).second) break;
    ProcessIFD(tiff.get(), chunks, index);
    ++index;
  } while (TIFFReadDirectory(tiff.get()));

  const auto file_size = static_cast<uint64_t>(TIFFGetSizeProc(tiff.get())(TIFFClientdata(tiff.get())));
  ValidateChunkExtents(chunks, file_size);
  KeepEncodedStripsOnlyWhenRewritable(chunks, file_size);
  return chunks;
}

}  // namespace tarn::metadata
