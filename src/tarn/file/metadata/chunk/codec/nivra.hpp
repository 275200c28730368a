// The Nivra image codec applied to image chunks, in memory one chunk at a time.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <span>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::chunk {
class Image;
class InterleavedImage;
}  // namespace tarn::chunk

namespace tarn::codec::nivra {

// Each reads the chunk's `length` bytes from `in` and writes its result to `out`.
// Encode returns (Nivra, encoded size); images the codec cannot take (not 16-bit,
// rows that are not whole 16-bit values) are refused with EncodeError status 17, and
// output that does not decode back to its input with VerifyError.
template <class ImageChunk>
CodecResult EncodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out);
// Returns (None, DecodedLength()).
template <class ImageChunk>
CodecResult DecodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out);
// Returns (codec, length): preparing keeps the size and leaves the chunk uncompressed.
template <class ImageChunk>
CodecResult PrepareStream(const ImageChunk& chunk, std::istream& in, std::ostream& out);
// Embeds the calibration header, then encodes; returns (Nivra, encoded size).
template <class ImageChunk>
CodecResult PrepareAndEncodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out);

// source holds the chunk's decoded bytes in the file's byte order.
template <class ImageChunk>
CodecResult EncodeSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination);
// destination receives DecodedLength() bytes in the file's byte order.
template <class ImageChunk>
CodecResult DecodeSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination);
// Copies source to destination (same size; they may be the same span) and, for
// 16-bit images without an embedded header, replaces the noise and embeds the
// calibration header. Both modes replace the noise: the encoder never quantizes, so
// prepare-and-encode (prepare_only false) needs prepared pixels as much as prepare.
// Statuses 8, 9 and 10 come as PrepareError.
template <class ImageChunk>
CodecResult PrepareSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination,
                        bool prepare_only);

// How many images PrepareSpan has prepared on the calling thread (images it finds prepared
// already are left as they are and not counted): the walks tell from it what they prepared.
uint64_t PreparedOnThisThread();

// The Nivra stream version that encodes on the calling thread write while the scope lives
// (0: the newest). Readers of container version 4 know streams up to version 2 only, so
// writing for them sets 2 here; the chunk walks carry the caller's choice to their threads.
class StreamVersionScope {
 public:
  explicit StreamVersionScope(unsigned version);
  ~StreamVersionScope();
  StreamVersionScope(const StreamVersionScope&) = delete;
  StreamVersionScope& operator=(const StreamVersionScope&) = delete;

 private:
  unsigned previous_;
};
unsigned StreamVersionOnThisThread();

// Swaps the two bytes of every 16-bit value; source and destination may be the same span.
void SwapBytes16(std::span<const uint8_t> source, std::span<uint8_t> destination);

// Every stream the encoder writes is decoded again and compared with the pixels it was
// made from; one that does not give them back is refused with this error (status 17, so
// that the chunk falls back to zstd like an image the codec cannot take).
class VerifyError : public EncodeError {
 public:
  explicit VerifyError(const std::string& text);
};

}  // namespace tarn::codec::nivra
