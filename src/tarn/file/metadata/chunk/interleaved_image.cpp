#include "tarn/file/metadata/chunk/interleaved_image.hpp"

#include <stdexcept>
#include <vector>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"
#include "tarn/file/metadata/chunk/codec/zstd.hpp"
#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"
#include "tarn/file/metadata/chunk/image/channel_planes.hpp"
#include "tarn/file/metadata/chunk/image/json_fields.hpp"
#include "tarn/file/metadata/chunk/image/length_limit.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/file/metadata/chunk/image/zstd_fallback.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::chunk {

namespace {

using image::ByteBuffer;
using image::ChannelPlanes;
using image::SpanIStream;

ChannelPlanes PlanesOf(const InterleavedImage& image) {
  return {image.width, image.height, image.width_bytes, image.channels, image.bytes_per_pixel};
}

// The codec reads the planes as the chunk's own geometry, so they must fill
// exactly the chunk's bytes, and rebuilding the rows must give them back
// unchanged (row padding is rebuilt as zeros).
bool PlanesStandInForRows(const ChannelPlanes& planes, std::span<const uint8_t> rows) {
  return planes.PaddedPlanesBytes() == planes.InterleavedBytes() && planes.RowPaddingIsZero(rows);
}

template <class Error>
ByteBuffer ReadRows(const InterleavedImage& image, std::istream& in) {
  ByteBuffer rows(image.length);
  if (ReadStreamToSpan(in, rows.span()) != rows.size()) {
    throw Error("unexpected EOF", Codec::Nivra, kTarnStatusInvalidFileContent);
  }
  return rows;
}

ByteBuffer Rearranged(const ChannelPlanes& planes, std::span<const uint8_t> rows) {
  ByteBuffer result(planes.PaddedPlanesBytes());
  planes.Rearrange(rows, result.span());
  return result;
}

// Codes the rows as one plane per channel (prepared first when asked) and
// writes the codec's output.
CodecResult EncodePlanes(const InterleavedImage& image, const ChannelPlanes& planes, std::span<const uint8_t> rows,
                         bool prepare, std::ostream& out) {
  ByteBuffer rearranged = Rearranged(planes, rows);
  // Prepared in full, as for single planes: the encoder stores values exactly.
  if (prepare) codec::nivra::PrepareSpan(image, rearranged.span(), rearranged.span(), true);
  ByteBuffer encoded(rearranged.size() / 2);
  const CodecResult result = codec::nivra::EncodeSpan(image, rearranged.span(), encoded.span());
  WriteSpanToStream(encoded.span().first(result.second), out);
  return result;
}

// Prepares the rows in place; several channels are prepared as planes and put
// back into the rows, so that row padding keeps its bytes.
void PrepareRows(const InterleavedImage& image, std::span<uint8_t> rows) {
  if (image.channels == 1 || image.bytes_per_pixel != 2) {
    codec::nivra::PrepareSpan(image, rows, rows, true);
    return;
  }
  const ChannelPlanes planes = PlanesOf(image);
  ByteBuffer rearranged = Rearranged(planes, rows);
  codec::nivra::PrepareSpan(image, rearranged.span(), rearranged.span(), true);
  planes.Reset(rearranged.span(), true, rows);
}

// When the codec refuses a prepared image, zstd stores it prepared all the
// same: the file must decode to what preparing alone would have written.
CodecResult ZstdOfPrepared(const InterleavedImage& image, ByteBuffer& rows, std::ostream& out) {
  PrepareRows(image, rows.span());
  SpanIStream prepared(rows.span());
  return codec::zstd::EncodeStream(image, prepared, out);
}

void WarnFallback(const std::string& reason) {
  Logger()->warn("{} encoder error: {} Fallback to {}.", CodecName(Codec::Nivra), reason, CodecName(Codec::Zstd));
}

}  // namespace

uint64_t InterleavedImageDecodedLength(uint32_t width_bytes, uint32_t height) { return uint64_t{width_bytes} * height; }

InterleavedImage::InterleavedImage(Codec codec, uint64_t length, uint32_t width, uint32_t height, uint32_t width_bytes,
                                   uint16_t channels, uint16_t bytes_per_pixel, std::endian endianness,
                                   const image::Calibration& calibration)
    : Chunk(codec, length),
      width(width),
      height(height),
      width_bytes(width_bytes),
      channels(channels),
      bytes_per_pixel(bytes_per_pixel),
      endianness(endianness),
      calibration(calibration) {
  if (width == 0 || height == 0) throw std::runtime_error("Image dimensions must be greater than zero");
  if (width_bytes == 0) throw std::runtime_error("Width in bytes must be greater than zero");
  if (bytes_per_pixel == 0) throw std::runtime_error("Bytes per pixel must be greater than zero");
  if (channels == 0) throw std::runtime_error("Number of channels must be greater than zero");
  if (uint64_t{channels} * width * bytes_per_pixel > width_bytes) {
    throw std::invalid_argument("Width in bytes is too small for the image dimensions");
  }
  image::CheckImageLength(DecodedLength());
  if (codec == Codec::None && length != DecodedLength()) {
    Logger()->error("Tried to initialize an uncompressed InterleavedImage (codec {}) but provided length {} != "
                    "calculated uncompressed length {}",
                    CodecName(codec), length, DecodedLength());
    throw std::runtime_error("chunk::InterleavedImage: Bad input length for non-encoded image");
  }
}

InterleavedImage::InterleavedImage(uint32_t width, uint32_t height, uint32_t width_bytes, uint16_t channels,
                                   uint16_t bytes_per_pixel, std::endian endianness,
                                   const image::Calibration& calibration)
    : InterleavedImage(Codec::None, InterleavedImageDecodedLength(width_bytes, height), width, height, width_bytes,
                       channels, bytes_per_pixel, endianness, calibration) {}

std::unique_ptr<InterleavedImage> InterleavedImage::FromJson(const Json::Value& json, int version) {
  const image::JsonFields fields(json, "JSON does not correspond to an InterleavedImage");
  // A missing "width_bytes" reads as 0, which the constructor refuses.
  fields.Require({"codec", "length", "width", "height", "channels", "bytes_per_pixel"});
  const std::endian endianness = fields.Endianness(version);
  const Json::Value* calibration = image::FindMember(json, "calibration");
  return std::make_unique<InterleavedImage>(
      fields.CodecValue(), fields.UInt64("length"), fields.UInt32("width"), fields.UInt32("height"),
      fields.UInt32OrZero("width_bytes"), fields.UInt16("channels"), fields.UInt16("bytes_per_pixel"), endianness,
      calibration ? image::Calibration::FromJson(*calibration) : image::Calibration{});
}

Json::Value InterleavedImage::ToJson() const {
  Json::Value json = Chunk::ToJson();
  json["width"] = Json::UInt{width};
  json["height"] = Json::UInt{height};
  json["width_bytes"] = Json::UInt{width_bytes};
  json["channels"] = Json::Int{channels};
  json["bytes_per_pixel"] = Json::Int{bytes_per_pixel};
  json["endianness"] = endianness == std::endian::big ? "b" : "l";
  return json;
}

std::unique_ptr<Chunk> InterleavedImage::CloneWithCodec(Codec codec, uint64_t length) const {
  return std::make_unique<InterleavedImage>(codec, length, width, height, width_bytes, channels, bytes_per_pixel,
                                            endianness, calibration);
}

uint64_t InterleavedImage::DecodedLength() const { return InterleavedImageDecodedLength(width_bytes, height); }

void InterleavedImage::SetCalibrationId(const std::string& id) { calibration.SetIdentifier(id); }

bool InterleavedImage::operator==(const Chunk& other) const {
  const auto* image = dynamic_cast<const InterleavedImage*>(&other);
  return image != nullptr && Chunk::operator==(other) && width == image->width && height == image->height &&
         width_bytes == image->width_bytes && channels == image->channels &&
         bytes_per_pixel == image->bytes_per_pixel && endianness == image->endianness &&
         calibration == image->calibration;
}

void InterleavedImage::RearrangeChannelsToStream(std::istream& in, std::ostream& out) const {
  const ChannelPlanes planes = PlanesOf(*this);
  ByteBuffer rows(planes.InterleavedBytes());
  if (ReadStreamToSpan(in, rows.span()) != rows.size()) throw std::runtime_error("Failed to read image data");
  WriteSpanToStream(Rearranged(planes, rows.span()).span(), out);
}

void InterleavedImage::ResetChannelsToStream(std::istream& in, std::ostream& out) const {
  const ChannelPlanes planes = PlanesOf(*this);
  // Padded planes first; older files hold unpadded ones.
  ByteBuffer stored(planes.PaddedPlanesBytes());
  const uint64_t read = ReadStreamToSpan(in, stored.span());
  const bool padded = read == planes.PaddedPlanesBytes();
  if (!padded && read < planes.UnpaddedPlanesBytes()) {
    throw std::runtime_error("Failed to read image data in both padded and unpadded formats");
  }
  std::vector<uint8_t> rows(planes.InterleavedBytes(), 0);
  planes.Reset(stored.span().first(read), padded, rows);
  WriteSpanToStream(rows, out);
}

CodecResult InterleavedImage::EncodeStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to encode InterleavedImage already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  if (channels == 1) {
    const std::istream::pos_type before = in.tellg();
    try {
      return codec::nivra::EncodeStream(*this, in, out);
    } catch (const EncodeError& error) {
      if (!image::FallsBackToZstd(error, "InterleavedImage", before, true)) throw;
      codec::RecoverEncodeError(error, in, before);
    }
    return image::EncodeWithZstdOrCopy(*this, in, out, before);
  }

  // Several channels: the codec compresses one plane per channel far better
  // than interleaved rows. The rows stay in memory for the fallback.
  const std::istream::pos_type offset = in.tellg();
  const ByteBuffer rows = ReadRows<EncodeError>(*this, in);
  const ChannelPlanes planes = PlanesOf(*this);
  if (PlanesStandInForRows(planes, rows.span())) {
    try {
      return EncodePlanes(*this, planes, rows.span(), false, out);
    } catch (const EncodeError& error) {
      if (!image::FallsBackToZstd(error, "InterleavedImage", offset, true)) throw;
    }
  } else if (planes.PaddedPlanesBytes() != length) {
    WarnFallback("channel planes of " + std::to_string(planes.PaddedPlanesBytes()) +
                 " bytes cannot stand in for the image's rows of " + std::to_string(length) + " bytes.");
  } else {
    WarnFallback("the rows carry padding bytes that channel planes do not keep.");
  }
  SpanIStream memory(rows.span());
  return image::EncodeWithZstdOrCopy(*this, memory, out, 0);
}

CodecResult InterleavedImage::DecodeStream_(std::istream& in, std::ostream& out) const {
  switch (codec) {
    case Codec::None:
      return image::CopyUnchanged(*this, in, out);
    case Codec::Zstd:
      return codec::zstd::DecodeStream(*this, in, out);
    case Codec::Nivra:
      break;
    default:
      Logger()->warn("Attempted to decode InterleavedImage with a codec that has no designated decoder: {}",
                     CodecName(codec));
      return image::CopyUnchanged(*this, in, out);
  }
  if (channels == 1) return codec::nivra::DecodeStream(*this, in, out);

  ByteBuffer encoded(length);
  if (ReadStreamToSpan(in, encoded.span()) != encoded.size()) {
    throw DecodeError("unexpected EOF", Codec::Nivra, kTarnStatusInvalidFileContent);
  }
  ByteBuffer decoded(DecodedLength());
  const CodecResult result = codec::nivra::DecodeSpan(*this, encoded.span(), decoded.span());
  SpanIStream planes(decoded.span());
  ResetChannelsToStream(planes, out);
  return result;
}

CodecResult InterleavedImage::PrepareStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to prepare InterleavedImage already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  if (channels == 1) return codec::nivra::PrepareStream(*this, in, out);

  ByteBuffer rows(length);
  if (ReadStreamToSpan(in, rows.span()) != rows.size()) {
    throw PrepareError("unexpected EOF", kTarnStatusInvalidFileContent);
  }
  PrepareRows(*this, rows.span());
  WriteSpanToStream(rows.span(), out);
  return {codec, length};
}

CodecResult InterleavedImage::PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to prepare and encode InterleavedImage already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  if (channels == 1) {
    const std::istream::pos_type before = in.tellg();
    try {
      return codec::nivra::PrepareAndEncodeStream(*this, in, out);
    } catch (const EncodeError& error) {
      if (!image::FallsBackToZstd(error, "InterleavedImage", before, false)) throw;
      codec::RecoverEncodeError(error, in, before);
    }
    if (bytes_per_pixel != 2) return codec::zstd::EncodeStream(*this, in, out);
    ByteBuffer rows = ReadRows<EncodeError>(*this, in);
    return ZstdOfPrepared(*this, rows, out);
  }

  const std::istream::pos_type offset = in.tellg();
  ByteBuffer rows = ReadRows<EncodeError>(*this, in);
  const ChannelPlanes planes = PlanesOf(*this);
  if (PlanesStandInForRows(planes, rows.span())) {
    try {
      return EncodePlanes(*this, planes, rows.span(), true, out);
    } catch (const EncodeError& error) {
      if (!image::FallsBackToZstd(error, "InterleavedImage", offset, false)) throw;
    }
  }
  return ZstdOfPrepared(*this, rows, out);
}

}  // namespace tarn::chunk
