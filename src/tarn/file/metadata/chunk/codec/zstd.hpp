// One zstd frame per chunk, streamed through fixed-size buffers.
#pragma once

#include <istream>
#include <ostream>

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::codec::zstd {

// Reads chunk.length bytes; returns (Zstd, compressed bytes written). The frame carries
// the content size and zstd's content checksum.
CodecResult EncodeStream(const Chunk& chunk, std::istream& in, std::ostream& out);
// Reads chunk.length compressed bytes; returns (None, decoded bytes written).
// The frame must end exactly there and yield chunk.DecodedLength() bytes; a frame whose
// checksum does not match fails with status 7 (frames without one still decode).
CodecResult DecodeStream(const Chunk& chunk, std::istream& in, std::ostream& out);

}  // namespace tarn::codec::zstd
