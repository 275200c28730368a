#include "tarn/file/metadata/chunk/codec/nivra.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "nivra/nivra.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/codec/nivra_hooks.hpp"
#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/stream.hpp"
#include "tarn/util/thread_pool.hpp"

namespace tarn::codec::nivra {

namespace {

using chunk::Image;
using chunk::InterleavedImage;
using chunk::image::ByteBuffer;

// How the codec sees an image: rows of 16-bit pixels.
struct Geometry {
  uint64_t width;
  uint64_t height;
  uint64_t PixelCount() const { return width * height; }
};

Geometry CodecGeometry(const Image& image) { return {image.width, image.height}; }
// Each stored row, channels and padding included, read as 16-bit values.
Geometry CodecGeometry(const InterleavedImage& image) { return {image.width_bytes / 2, image.height}; }

// The codec takes 16-bit pixels only, and its pixels must cover exactly the
// chunk's bytes: fewer would drop the tail, and the sizes are 32-bit signed.
template <class ImageChunk>
bool CodecCanTake(const ImageChunk& chunk) {
  const Geometry geometry = CodecGeometry(chunk);
  constexpr uint64_t kMax = std::numeric_limits<int32_t>::max();
  return chunk.bytes_per_pixel == 2 && geometry.width > 0 && geometry.height > 0 && geometry.width <= kMax &&
         geometry.height <= kMax && geometry.PixelCount() <= kMax && geometry.PixelCount() * 2 == chunk.DecodedLength();
}

template <class ImageChunk>
bool SwapsBytes(const ImageChunk& chunk) {
  return chunk.bytes_per_pixel == 2 && chunk.endianness != std::endian::native;
}

bool AlignedFor16Bit(const void* data) { return reinterpret_cast<uintptr_t>(data) % alignof(uint16_t) == 0; }

template <class Error>
void ReadChunk(std::istream& in, std::span<uint8_t> buffer) {
  if (ReadStreamToSpan(in, buffer) != buffer.size()) throw Error("unexpected EOF", Codec::Nivra, kTarnStatusInvalidFileContent);
}

// The codec codes the bands of rows of one image on the library's threads.
const Brimlake::Nivra::ParallelFor& CodecThreads() {
  static const Brimlake::Nivra::ParallelFor parallel_for = util::ParallelFor;
  return parallel_for;
}

// Output room: the encoder must save at least half of the 16-bit input, else
// zstd or a plain copy does the job better.
uint64_t EncodeCapacity(const Geometry& geometry) { return geometry.PixelCount(); }

std::atomic<bool> verification{true};
thread_local uint64_t prepared_on_this_thread = 0;
thread_local unsigned stream_version_on_this_thread = 0;
std::mutex hook_mutex;
std::function<void(std::span<uint8_t>)> encoded_stream_hook;

void RunEncodedStreamHook(std::span<uint8_t> stream) {
  std::function<void(std::span<uint8_t>)> hook;
  {
    const std::lock_guard lock(hook_mutex);
    hook = encoded_stream_hook;
  }
  if (hook) hook(stream);
}

// Decodes the stream and compares it with the pixels it was made from: only a stream
// known to restore them may be stored. The codec decodes band by band into buffers of a
// band's size, so the check holds a band per thread, not another plane.
void VerifyDecodesTo(const Geometry& geometry, const uint16_t* pixels, std::span<const uint8_t> stream) {
  bool same_pixels = false;
  const bm_status status =
      Brimlake::Nivra::verify(stream.data(), static_cast<int32_t>(stream.size()), pixels,
                              static_cast<int32_t>(geometry.PixelCount()), CodecThreads(), same_pixels);
  if (status != BM_OK) {
    throw VerifyError(fmt::format("its output does not decode ({})", bm_status_description(status)));
  }
  if (!same_pixels) throw VerifyError("its output decodes to other pixels than it was given");
}

CodecResult EncodeHostOrder(const Geometry& geometry, const uint16_t* pixels, std::span<uint8_t> destination) {
  int32_t encoded = static_cast<int32_t>(std::min<uint64_t>(EncodeCapacity(geometry), destination.size()));
  const int32_t capacity = encoded;
  Brimlake::Nivra::EncodeOptions options;
  if (stream_version_on_this_thread != 0) options.stream_version = stream_version_on_this_thread;
  const bm_status status =
      Brimlake::Nivra::encode(pixels, static_cast<int32_t>(geometry.width), static_cast<int32_t>(geometry.height),
                              destination.data(), &encoded, CodecThreads(), options);
  if (status != BM_OK) throw EncodeError(status);
  if (encoded <= 0 || encoded > capacity) {
    throw implementation_error("the Nivra encoder reported a size outside its output capacity");
  }
  const std::span<uint8_t> stream = destination.first(static_cast<size_t>(encoded));
  RunEncodedStreamHook(stream);
  if (verification.load(std::memory_order_relaxed)) VerifyDecodesTo(geometry, pixels, stream);
  return {Codec::Nivra, static_cast<uint64_t>(encoded)};
}

template <class ImageChunk>
void CheckEncodable(const ImageChunk& chunk, std::span<const uint8_t> source) {
  if (!CodecCanTake(chunk)) throw EncodeError(BM_INCOMPATIBLE_IMAGE);
  if (source.size() != chunk.DecodedLength()) {
    throw std::invalid_argument("source span does not hold the image's bytes");
  }
}

}  // namespace

namespace hooks {

void SetEncodedStreamHook(std::function<void(std::span<uint8_t>)> hook) {
  const std::lock_guard lock(hook_mutex);
  encoded_stream_hook = std::move(hook);
}

void SetVerification(bool enabled) { verification.store(enabled, std::memory_order_relaxed); }

}  // namespace hooks

StreamVersionScope::StreamVersionScope(unsigned version) : previous_(stream_version_on_this_thread) {
  stream_version_on_this_thread = version;
}

StreamVersionScope::~StreamVersionScope() { stream_version_on_this_thread = previous_; }

unsigned StreamVersionOnThisThread() { return stream_version_on_this_thread; }

VerifyError::VerifyError(const std::string& text) : EncodeError(text, Codec::Nivra, kTarnStatusIncompatibleImage) {}

void SwapBytes16(std::span<const uint8_t> source, std::span<uint8_t> destination) {
  if (source.size() != destination.size() || source.size() % 2 != 0) {
    throw std::invalid_argument("src and dst must be the same size and the size must be evenly divisible by 2");
  }
  const uint8_t* from = source.data();
  uint8_t* to = destination.data();
  for (size_t i = 0, n = source.size(); i < n; i += 2) {
    const uint8_t first = from[i];
    to[i] = from[i + 1];
    to[i + 1] = first;
  }
}

template <class ImageChunk>
CodecResult EncodeSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination) {
  CheckEncodable(chunk, source);
  if (!SwapsBytes(chunk) && AlignedFor16Bit(source.data())) {
    return EncodeHostOrder(CodecGeometry(chunk), reinterpret_cast<const uint16_t*>(source.data()), destination);
  }
  ByteBuffer scratch(source.size());
  if (SwapsBytes(chunk)) {
    SwapBytes16(source, scratch.span());
  } else {
    std::memcpy(scratch.span().data(), source.data(), source.size());
  }
  return EncodeHostOrder(CodecGeometry(chunk), reinterpret_cast<const uint16_t*>(scratch.span().data()), destination);
}

template <class ImageChunk>
CodecResult DecodeSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination) {
  // Only 16-bit images are ever stored with Nivra; anything else is a damaged description.
  if (chunk.bytes_per_pixel != 2 || destination.size() != chunk.DecodedLength() || destination.size() % 2 != 0 ||
      destination.size() / 2 > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
      source.size() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    throw DecodeError(BM_INVALID_FILE_CONTENT);
  }
  if (!AlignedFor16Bit(destination.data())) throw std::invalid_argument("destination span is not aligned for 16-bit pixels");
  const bm_status status = Brimlake::Nivra::decode(source.data(), static_cast<int32_t>(source.size()),
                                                   reinterpret_cast<uint16_t*>(destination.data()),
                                                   static_cast<int32_t>(destination.size() / 2), CodecThreads());
  if (status != BM_OK) throw DecodeError(status);
  if (SwapsBytes(chunk)) SwapBytes16(destination, destination);
  return {Codec::None, chunk.DecodedLength()};
}

template <class ImageChunk>
CodecResult PrepareSpan(const ImageChunk& chunk, std::span<const uint8_t> source, std::span<uint8_t> destination,
                        bool /*prepare_only*/) {
  namespace nv = Brimlake::Nivra;
  if (source.size() != destination.size()) throw std::invalid_argument("source and destination sizes differ");
  const CodecResult unchanged{chunk.codec, chunk.length};
  if (chunk.bytes_per_pixel != 2) {
    if (source.data() != destination.data()) std::memcpy(destination.data(), source.data(), source.size());
    return unchanged;
  }
  if (source.size() % 2 != 0) throw std::invalid_argument("source span can't be reinterpreted as a uint16_t span");
  if (!AlignedFor16Bit(destination.data())) throw std::invalid_argument("destination span is not aligned for 16-bit pixels");

  const bool swaps = SwapsBytes(chunk);
  if (swaps) {
    SwapBytes16(source, destination);
  } else if (source.data() != destination.data()) {
    std::memcpy(destination.data(), source.data(), source.size());
  }
  const std::span<uint16_t> pixels(reinterpret_cast<uint16_t*>(destination.data()), destination.size() / 2);
  auto restore_order = [&] {
    if (swaps) SwapBytes16(destination, destination);
  };

  // Already prepared: preparing again must not change it.
  if (nv::EmbeddedHeader::Read(pixels)) {
    restore_order();
    return unchanged;
  }

  const std::unique_ptr<nv::EmbeddedHeader> header = chunk.calibration.TryBuildEmbeddedHeader();
  if (!header) {
    Logger()->warn("Image with incomplete calibration could not be prepared");
    throw PrepareError("no valid identifier found during preparation", kTarnStatusNoParametersForIdentifier);
  }
  if (!(header->error_bound() > 0)) throw PrepareError("error_bound must be larger than 0.", kTarnStatusParametersNotUsable);
  const size_t header_pixels = header->PixelCount();
  if (pixels.size() < header_pixels) throw PrepareError(bm_status_description(BM_TOO_FEW_PIXELS), kTarnStatusTooFewPixels);

  // The encoder never quantizes, so prepare-and-encode replaces the noise here too:
  // what it stores must decode to exactly what preparing alone writes.
  const std::vector<uint16_t> kept(pixels.begin(), pixels.begin() + header_pixels);
  nv::replace_noise(pixels.data(), pixels.size(), *header->parameters(), header->error_bound(), header->seed(),
                    CodecThreads());
  std::copy(kept.begin(), kept.end(), pixels.begin());
  header->Embed(pixels);
  restore_order();
  ++prepared_on_this_thread;
  return unchanged;
}

uint64_t PreparedOnThisThread() { return prepared_on_this_thread; }

template <class ImageChunk>
CodecResult EncodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out) {
  // Refuse before reading, so that the caller's fallback finds the input untouched.
  if (!CodecCanTake(chunk)) throw EncodeError(BM_INCOMPATIBLE_IMAGE);
  ByteBuffer decoded(chunk.length);
  ReadChunk<EncodeError>(in, decoded.span());
  // The buffer is ours: put it in host order in place rather than in a copy.
  if (SwapsBytes(chunk)) SwapBytes16(decoded.span(), decoded.span());
  const Geometry geometry = CodecGeometry(chunk);
  ByteBuffer encoded(EncodeCapacity(geometry));
  const CodecResult result =
      EncodeHostOrder(geometry, reinterpret_cast<const uint16_t*>(decoded.span().data()), encoded.span());
  WriteSpanToStream(encoded.span().first(result.second), out);
  return result;
}

template <class ImageChunk>
CodecResult DecodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out) {
  ByteBuffer encoded(chunk.length);
  ReadChunk<DecodeError>(in, encoded.span());
  ByteBuffer decoded(chunk.DecodedLength());
  const CodecResult result = DecodeSpan(chunk, encoded.span(), decoded.span());
  WriteSpanToStream(decoded.span(), out);
  return result;
}

template <class ImageChunk>
CodecResult PrepareStream(const ImageChunk& chunk, std::istream& in, std::ostream& out) {
  ByteBuffer buffer(chunk.length);
  if (ReadStreamToSpan(in, buffer.span()) != buffer.size()) {
    throw PrepareError("unexpected EOF", kTarnStatusInvalidFileContent);
  }
  const CodecResult result = PrepareSpan(chunk, buffer.span(), buffer.span(), true);
  WriteSpanToStream(buffer.span(), out);
  return result;
}

template <class ImageChunk>
CodecResult PrepareAndEncodeStream(const ImageChunk& chunk, std::istream& in, std::ostream& out) {
  if (!CodecCanTake(chunk)) throw EncodeError(BM_INCOMPATIBLE_IMAGE);
  ByteBuffer buffer(chunk.length);
  ReadChunk<EncodeError>(in, buffer.span());
  // Prepared in full first: the encoder never changes a value, so what it stores (and
  // what the check compares with) is exactly the prepared image.
  PrepareSpan(chunk, buffer.span(), buffer.span(), true);
  if (SwapsBytes(chunk)) SwapBytes16(buffer.span(), buffer.span());
  const Geometry geometry = CodecGeometry(chunk);
  ByteBuffer encoded(EncodeCapacity(geometry));
  const CodecResult result =
      EncodeHostOrder(geometry, reinterpret_cast<const uint16_t*>(buffer.span().data()), encoded.span());
  WriteSpanToStream(encoded.span().first(result.second), out);
  return result;
}

#define TARN_NIVRA_INSTANTIATE(ImageChunk)                                                                       \
  template CodecResult EncodeStream(const ImageChunk&, std::istream&, std::ostream&);                            \
  template CodecResult DecodeStream(const ImageChunk&, std::istream&, std::ostream&);                            \
  template CodecResult PrepareStream(const ImageChunk&, std::istream&, std::ostream&);                           \
  template CodecResult PrepareAndEncodeStream(const ImageChunk&, std::istream&, std::ostream&);                  \
  template CodecResult EncodeSpan(const ImageChunk&, std::span<const uint8_t>, std::span<uint8_t>);              \
  template CodecResult DecodeSpan(const ImageChunk&, std::span<const uint8_t>, std::span<uint8_t>);              \
  template CodecResult PrepareSpan(const ImageChunk&, std::span<const uint8_t>, std::span<uint8_t>, bool);

TARN_NIVRA_INSTANTIATE(Image)
TARN_NIVRA_INSTANTIATE(InterleavedImage)

#undef TARN_NIVRA_INSTANTIATE

}  // namespace tarn::codec::nivra
