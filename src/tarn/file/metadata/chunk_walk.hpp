// Runs one stream operation over the chunks of a file, several chunks at a time on the
// thread pool, and writes the results in file order.
//
// With one thread every chunk reads from and writes to the file streams directly, as a
// plain loop would. With more, runs of chunks are coded in parallel into memory and
// written in order; at most (threads + 2) chunks are in flight at once. Chunks too large
// to hold (before or after coding) stream on the calling thread, after everything before
// them has been written. The bytes written never depend on the count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn::metadata {

using ChunkOperation = std::function<std::unique_ptr<Chunk>(const Chunk&, std::istream&, std::ostream&)>;
// A first guess of how many bytes the operation writes for a chunk; buffers grow past it.
using OutputGuess = uint64_t (*)(const Chunk&);

struct WalkResult {
  Chunks written;              // one per chunk before the first failure
  std::exception_ptr failure;  // what the first failing chunk in file order threw, as it threw it
};

// Chunks larger than this are never buffered.
inline constexpr uint64_t kLargestBufferedChunk = uint64_t{64} << 20;

// Runs `operation` on chunks[0] .. chunks[count - 1], which lie end to end from the
// current positions of `in` and `out`; stops at the first failure.
WalkResult WalkChunks(const Chunks& chunks, size_t count, std::istream& in, std::ostream& out,
                      const ChunkOperation& operation, OutputGuess output_guess);

// The most bytes held in chunk buffers at once since the last reset, over all walks.
uint64_t PeakBufferedBytes();
void ResetPeakBufferedBytes();

}  // namespace tarn::metadata
