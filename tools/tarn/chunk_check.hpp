// Decoding a compressed file chunk by chunk without writing anything, as `tarn test`
// does and as --rm does before it deletes a source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tarn::cli {

struct ChunkFault {
  size_t index = 0;     // counted from 0, in file order
  uint64_t offset = 0;  // where the chunk starts in the compressed file
  std::string kind;     // "image", "interleaved" or "data"
  std::string codec;    // "Nivra", "Zstd", ...
  std::string reason;
};

struct CheckReport {
  std::optional<std::string> block_fault;  // the description (metadata block, footer) is damaged
  std::optional<ChunkFault> chunk_fault;   // the first chunk that failed its check
  std::optional<std::string> difference;   // decoded fine, but unlike the original
  size_t chunks = 0;
  size_t prepared_chunks = 0;  // Nivra streams in the prepared (lossy) mode
  uint64_t decoded_bytes = 0;

  bool ok() const { return !block_fault && !chunk_fault && !difference; }
  // One line saying what is wrong; empty when ok().
  std::string Describe() const;
};

// Decodes every chunk of the compressed file at `path` and checks that each gives the
// length the metadata promises; with `original`, the decoded bytes must also equal that
// file's bytes. Never throws for damaged input.
CheckReport CheckCompressedFile(const std::filesystem::path& path,
                                const std::optional<std::filesystem::path>& original = std::nullopt);

}  // namespace tarn::cli
