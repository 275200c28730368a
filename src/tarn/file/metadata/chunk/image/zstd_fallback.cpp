#include "tarn/file/metadata/chunk/image/zstd_fallback.hpp"

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"
#include "tarn/file/metadata/chunk/codec/zstd.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::chunk::image {

CodecResult EncodeWithZstdOrCopy(const Chunk& chunk, std::istream& in, std::ostream& out,
                                 std::istream::pos_type before) {
  const std::ostream::pos_type written_before = out.tellp();
  try {
    return codec::zstd::EncodeStream(chunk, in, out);
  } catch (const EncodeError& error) {
    codec::RecoverEncodeError(error, in, before);
    // A half-written zstd frame followed by the plain bytes would be unreadable.
    if (written_before == std::ostream::pos_type(-1) || !out.seekp(written_before)) throw error;
    Logger()->error("{} encoder error: {}. Chunk will be copied over.", CodecName(Codec::Zstd), error.what());
  }
  util::StreamCopyN(in, chunk.length, out);
  return {Codec::None, chunk.length};
}

bool FallsBackToZstd(const EncodeError& error, std::string_view kind, std::istream::pos_type offset, bool warn) {
  if (error.status() != kTarnStatusIncompatibleImage) return false;
  if (dynamic_cast<const codec::nivra::VerifyError*>(&error) != nullptr) {
    Logger()->error("{} chunk at offset {}: {}; the chunk is stored with {} instead", kind,
                    static_cast<std::streamoff>(offset), error.what(), CodecName(Codec::Zstd));
  } else if (warn) {
    Logger()->warn("{} encoder error: {} Fallback to {}.", CodecName(Codec::Nivra), error.what(),
                   CodecName(Codec::Zstd));
  }
  return true;
}

CodecResult CopyUnchanged(const Chunk& chunk, std::istream& in, std::ostream& out) {
  util::StreamCopyN(in, chunk.length, out);
  return {chunk.codec, chunk.length};
}

}  // namespace tarn::chunk::image
