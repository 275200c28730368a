#include "tarn/file/metadata/chunk/image.hpp"

#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"
#include "tarn/file/metadata/chunk/codec/zstd.hpp"
#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"
#include "tarn/file/metadata/chunk/image/json_fields.hpp"
#include "tarn/file/metadata/chunk/image/length_limit.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/file/metadata/chunk/image/zstd_fallback.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::chunk {

namespace {

// When the codec refuses a prepared image, zstd stores it prepared all the
// same: the file must decode to what preparing alone would have written.
CodecResult ZstdOfPrepared(const Image& image, std::istream& in, std::ostream& out) {
  if (image.bytes_per_pixel != 2) return codec::zstd::EncodeStream(image, in, out);
  image::ByteBuffer bytes(image.length);
  if (ReadStreamToSpan(in, bytes.span()) != bytes.size()) {
    throw EncodeError("unexpected EOF", Codec::Nivra, kTarnStatusInvalidFileContent);
  }
  codec::nivra::PrepareSpan(image, bytes.span(), bytes.span(), true);
  image::SpanIStream prepared(bytes.span());
  return codec::zstd::EncodeStream(image, prepared, out);
}

}  // namespace

uint64_t ImageDecodedLength(uint32_t width, uint32_t height, uint16_t bytes_per_pixel) {
  return uint64_t{width} * height * bytes_per_pixel;
}

Image::Image(Codec codec, uint64_t length, uint32_t width, uint32_t height, uint16_t bytes_per_pixel,
             std::endian endianness, const image::Calibration& calibration)
    : Chunk(codec, length),
      width(width),
      height(height),
      bytes_per_pixel(bytes_per_pixel),
      endianness(endianness),
      calibration(calibration) {
  // An empty image would decode to nothing whatever its stored bytes are.
  if (width == 0 || height == 0) throw std::runtime_error("Image dimensions must be greater than zero");
  if (bytes_per_pixel == 0) throw std::runtime_error("Bytes per pixel must be greater than zero");
  image::CheckImageLength(DecodedLength());
  if (codec == Codec::None && length != DecodedLength()) {
    Logger()->error("Tried to initialize an uncompressed Image (codec {}) but provided length {} != calculated "
                    "uncompressed length {}",
                    CodecName(codec), length, DecodedLength());
    throw std::runtime_error("chunk::Image: Bad input length for non-encoded image");
  }
}

Image::Image(uint32_t width, uint32_t height, uint16_t bytes_per_pixel, std::endian endianness,
             const image::Calibration& calibration)
    : Image(Codec::None, ImageDecodedLength(width, height, bytes_per_pixel), width, height, bytes_per_pixel,
            endianness, calibration) {}

std::unique_ptr<Image> Image::FromJson(const Json::Value& json, int version) {
  const image::JsonFields fields(json, "JSON does not correspond to an Image");
  fields.Require({"codec", "length", "width", "height", "bytes_per_pixel"});
  const std::endian endianness = fields.Endianness(version);
  const Json::Value* calibration = image::FindMember(json, "calibration");
  return std::make_unique<Image>(fields.CodecValue(), fields.UInt64("length"), fields.UInt32("width"),
                                 fields.UInt32("height"), fields.UInt16("bytes_per_pixel"), endianness,
                                 calibration ? image::Calibration::FromJson(*calibration) : image::Calibration{});
}

Json::Value Image::ToJson() const {
  Json::Value json = Chunk::ToJson();
  json["width"] = Json::UInt{width};
  json["height"] = Json::UInt{height};
  json["bytes_per_pixel"] = Json::Int{bytes_per_pixel};
  json["endianness"] = endianness == std::endian::big ? "b" : "l";
  return json;
}

std::unique_ptr<Chunk> Image::CloneWithCodec(Codec codec, uint64_t length) const {
  return std::make_unique<Image>(codec, length, width, height, bytes_per_pixel, endianness, calibration);
}

uint64_t Image::DecodedLength() const { return ImageDecodedLength(width, height, bytes_per_pixel); }

void Image::SetCalibrationId(const std::string& id) { calibration.SetIdentifier(id); }

bool Image::operator==(const Chunk& other) const {
  const auto* image = dynamic_cast<const Image*>(&other);
  return image != nullptr && Chunk::operator==(other) && width == image->width && height == image->height &&
         bytes_per_pixel == image->bytes_per_pixel && endianness == image->endianness &&
         calibration == image->calibration;
}

CodecResult Image::EncodeStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to encode Image already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  const std::istream::pos_type before = in.tellg();
  try {
    return codec::nivra::EncodeStream(*this, in, out);
  } catch (const EncodeError& error) {
    if (!image::FallsBackToZstd(error, "Image", before, false)) throw;
    codec::RecoverEncodeError(error, in, before);
  }
  return image::EncodeWithZstdOrCopy(*this, in, out, before);
}

CodecResult Image::DecodeStream_(std::istream& in, std::ostream& out) const {
  switch (codec) {
    case Codec::None:
      return image::CopyUnchanged(*this, in, out);
    case Codec::Nivra:
      return codec::nivra::DecodeStream(*this, in, out);
    case Codec::Zstd:
      return codec::zstd::DecodeStream(*this, in, out);
    default:
      Logger()->warn("Attempted to decode Image with a codec that has no designated decoder: {}", CodecName(codec));
      return image::CopyUnchanged(*this, in, out);
  }
}

CodecResult Image::PrepareStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to prepare Image already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  return codec::nivra::PrepareStream(*this, in, out);
}

CodecResult Image::PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to prepare and encode Image already encoded with {}", CodecName(codec));
    return image::CopyUnchanged(*this, in, out);
  }
  const std::istream::pos_type before = in.tellg();
  try {
    return codec::nivra::PrepareAndEncodeStream(*this, in, out);
  } catch (const EncodeError& error) {
    if (!image::FallsBackToZstd(error, "Image", before, false)) throw;
    codec::RecoverEncodeError(error, in, before);
  }
  return ZstdOfPrepared(*this, in, out);
}

}  // namespace tarn::chunk
