// The fallbacks image chunks share when the Nivra codec refuses an image.
#pragma once

#include <istream>
#include <ostream>
#include <string_view>

#include "tarn/error.hpp"

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::chunk::image {

// Stores the chunk with zstd; when zstd fails, puts `in` back to `before`,
// takes back what zstd wrote and copies the bytes unchanged (None).
CodecResult EncodeWithZstdOrCopy(const Chunk& chunk, std::istream& in, std::ostream& out,
                                 std::istream::pos_type before);

// Decides after a failure of the Nivra encoder whether the image goes to zstd instead:
// yes when the codec refused it (status 17, with the warning "Nivra encoder error: ...
// Fallback to Zstd." when `warn` is set) or when its output did not decode back, which
// is logged as an error naming the chunk's kind and source offset. False: rethrow.
bool FallsBackToZstd(const EncodeError& error, std::string_view kind, std::istream::pos_type offset, bool warn);

// Copies the chunk's bytes as they are and keeps its codec.
CodecResult CopyUnchanged(const Chunk& chunk, std::istream& in, std::ostream& out);

}  // namespace tarn::chunk::image
