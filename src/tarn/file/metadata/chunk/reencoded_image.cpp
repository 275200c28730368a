#include "tarn/file/metadata/chunk/reencoded_image.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "tarn/codecs/lossless_jpeg.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"
#include "tarn/file/metadata/chunk/image/json_fields.hpp"
#include "tarn/file/metadata/chunk/image/length_limit.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/file/metadata/chunk/unspecified_data.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/checksum.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::chunk {
namespace {

using image::ByteBuffer;
using image::SpanIStream;
using reencoded::NotReencodable;
using reencoded::SourceCoding;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

uint64_t Checksum(std::span<const uint8_t> bytes) { return util::Xxh3(std::as_bytes(bytes)); }

}  // namespace

ReencodedImage::ReencodedImage(Codec codec, uint64_t length, SourceCoding coding, uint32_t width, uint32_t height,
                               uint16_t bytes_per_pixel, std::endian endianness,
                               const image::Calibration& calibration, std::optional<uint64_t> source_checksum)
    : Chunk(codec, length),
      coding(std::move(coding)),
      width(width),
      height(height),
      bytes_per_pixel(bytes_per_pixel),
      endianness(endianness),
      calibration(calibration),
      source_checksum(source_checksum) {
  if (width == 0 || height == 0 || bytes_per_pixel == 0) {
    throw std::invalid_argument("re-encoded image has no pixels");
  }
  if (this->coding.segments.empty() || this->coding.SourceLength() == 0) {
    throw std::invalid_argument("re-encoded image has no source bytes");
  }
  if (codec == Codec::None && length != this->coding.SourceLength()) {
    throw std::invalid_argument("uncoded re-encoded image must be as long as its source bytes");
  }
  if (this->coding.coding == reencoded::Coding::kLosslessJpeg && bytes_per_pixel != 2) {
    throw std::invalid_argument("lossless JPEG pixels are 16-bit");
  }
  image::CheckImageLength(PixelBytes());
}

std::unique_ptr<ReencodedImage> ReencodedImage::FromJson(const Json::Value& json, int version) {
  if (version < static_cast<int>(kReencodedImageContainerVersion)) {
    throw bad_metadata(fmt::format("a re-encoded image needs container version {}, the block is version {}",
                                   kReencodedImageContainerVersion, version));
  }
  const image::JsonFields fields(json, "JSON does not correspond to a re-encoded image");
  fields.Require({"codec", "length", "decoded_length", "width", "height", "bytes_per_pixel", "source_coding",
                  "source_checksum"});
  const Codec codec = fields.CodecValue();
  if (codec != Codec::Nivra && codec != Codec::Zstd) throw bad_metadata("re-encoded image is stored without a codec");
  const Json::Value& checksum = json["source_checksum"];
  const std::optional<uint64_t> sum = checksum.isString() ? util::ParseChecksumText(checksum.asString()) : std::nullopt;
  if (!sum) throw bad_metadata("re-encoded image \"source_checksum\" is not 16 hexadecimal digits");
  SourceCoding coding = SourceCoding::FromJson(json["source_coding"]);
  if (coding.SourceLength() != fields.UInt64("decoded_length")) {
    throw bad_metadata("re-encoded image \"decoded_length\" differs from its segments");
  }
  const Json::Value* calibration = image::FindMember(json, "calibration");
  try {
    return std::make_unique<ReencodedImage>(codec, fields.UInt64("length"), std::move(coding), fields.UInt32("width"),
                                            fields.UInt32("height"), fields.UInt16("bytes_per_pixel"),
                                            fields.Endianness(version),
                                            calibration ? image::Calibration::FromJson(*calibration) : image::Calibration{},
                                            sum);
  } catch (const std::invalid_argument& error) {
    throw bad_metadata(error.what());
  }
}

Json::Value ReencodedImage::ToJson() const {
  Json::Value json = Chunk::ToJson();
  json["decoded_length"] = static_cast<Json::UInt64>(DecodedLength());
  json["width"] = Json::UInt{width};
  json["height"] = Json::UInt{height};
  json["bytes_per_pixel"] = Json::Int{bytes_per_pixel};
  json["endianness"] = endianness == std::endian::big ? "b" : "l";
  json["source_coding"] = coding.ToJson();
  if (source_checksum) json["source_checksum"] = util::ChecksumText(*source_checksum);
  return json;
}

std::unique_ptr<Chunk> ReencodedImage::CloneWithCodec(Codec new_codec, uint64_t new_length) const {
  return std::make_unique<ReencodedImage>(new_codec, new_length, coding, width, height, bytes_per_pixel, endianness,
                                          calibration, source_checksum);
}

uint64_t ReencodedImage::DecodedLength() const { return coding.SourceLength(); }

void ReencodedImage::SetCalibrationId(const std::string& id) { calibration.SetIdentifier(id); }

bool ReencodedImage::operator==(const Chunk& other) const {
  const auto* image = dynamic_cast<const ReencodedImage*>(&other);
  return image != nullptr && Chunk::operator==(other) && coding == image->coding && width == image->width &&
         height == image->height && bytes_per_pixel == image->bytes_per_pixel && endianness == image->endianness &&
         calibration == image->calibration && source_checksum == image->source_checksum;
}

unsigned ReencodedImage::ContainerVersion() const {
  // Before encoding it stands for source bytes that a version-4 file holds as plain data.
  return codec == Codec::None ? Chunk::ContainerVersion() : kReencodedImageContainerVersion;
}

Image ReencodedImage::Plane(Codec plane_codec, uint64_t plane_length) const {
  return Image(plane_codec, plane_length, width, height, bytes_per_pixel, endianness, calibration);
}

uint64_t ReencodedImage::PixelBytes() const { return ImageDecodedLength(width, height, bytes_per_pixel); }

std::unique_ptr<Chunk> ReencodedImage::Encode(std::istream& in, std::ostream& out, bool prepare) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to encode a re-encoded image already encoded with {}", CodecName(codec));
    util::StreamCopyN(in, length, out);
    return Clone();
  }
  ByteBuffer source(length);
  if (ReadStreamToSpan(in, source.span()) != source.size()) {
    throw EncodeError("unexpected EOF", Codec::None, kTarnStatusInvalidFileContent);
  }
  const char* coding_name = reencoded::CodingName(coding.coding);
  auto keep_source = [&](const std::string& reason) {
    Logger()->warn("{} image data of {} bytes kept as it is: {}", coding_name, length, reason);
    const UnspecifiedData data(length);
    SpanIStream bytes(source.span());
    return data.EncodeStream(bytes, out);
  };

  // The proof: only pixels that code again into exactly the source bytes are taken.
  std::vector<uint8_t> pixels;
  SourceCoding learned;
  try {
    learned = coding.Learn(source.span(), pixels, PixelBytes());
    const std::vector<uint8_t> again = learned.Encode(pixels);
    if (!std::equal(again.begin(), again.end(), source.span().begin(), source.span().end())) {
      const auto differ = std::mismatch(again.begin(), again.end(), source.span().begin(), source.span().end());
      return keep_source(fmt::format("coding its pixels again gives other bytes (from byte {} of {})",
                                     differ.first - again.begin(), length));
    }
  } catch (const NotReencodable& error) {
    return keep_source(error.what());
  }
  // What the restore gives back: the source bytes, or the prepared pixels coded as they were.
  std::vector<uint8_t> restored;
  if (prepare) {
    if (std::optional<std::vector<uint8_t>> prepared = PreparedSource(learned, pixels, false)) {
      restored = std::move(*prepared);
    }
  }
  const std::span<const uint8_t> restores = restored.empty() ? std::span<const uint8_t>(source.span()) : restored;

  const Image plane = Plane(Codec::None, PixelBytes());
  std::stringstream coded;
  coded.exceptions(std::ios::badbit | std::ios::failbit);
  SpanIStream pixels_in(pixels);
  const std::unique_ptr<Chunk> stored = plane.EncodeStream(pixels_in, coded);
  if (stored->codec == Codec::None || stored->length >= length) {
    return keep_source(fmt::format("its pixels coded with {} take {} bytes, not fewer", CodecName(stored->codec),
                                   stored->length));
  }
  const std::string bytes = coded.str();
  if (bytes.size() < stored->length) throw implementation_error("the image codec wrote fewer bytes than it reported");
  WriteSpanToStream(Bytes(bytes).first(stored->length), out);
  return std::make_unique<ReencodedImage>(stored->codec, stored->length, std::move(learned), width, height,
                                          bytes_per_pixel, endianness, calibration, Checksum(restores));
}

std::optional<std::vector<uint8_t>> ReencodedImage::PreparedSource(SourceCoding& learned, std::vector<uint8_t>& pixels,
                                                                   bool prepare_only) const {
  const char* coding_name = reencoded::CodingName(coding.coding);
  if (coding.coding != reencoded::Coding::kLosslessJpeg) {
    Logger()->warn("{} image of {} bytes is not prepared: only lossless JPEG is written back prepared", coding_name,
                   length);
    return std::nullopt;
  }
  if (!codecs::ljpeg::CodesEveryDifference(codecs::ljpeg::ParseHeader(learned.jpeg_header))) {
    Logger()->warn("lossless JPEG image of {} bytes is not prepared: its Huffman tables do not code every difference "
                   "category, so its prepared pixels might not be codable with them",
                   length);
    return std::nullopt;
  }
  std::vector<uint8_t> original = pixels;
  const Image plane = Plane(Codec::None, PixelBytes());
  codec::nivra::PrepareSpan(plane, pixels, pixels, prepare_only);
  SourceCoding unpadded = learned;
  unpadded.trailing_zeros = 0;
  std::vector<uint8_t> stream = unpadded.Encode(pixels);
  if (stream.size() > length) {
    Logger()->warn("lossless JPEG image of {} bytes is not prepared: prepared, it would take {} bytes", length,
                   stream.size());
    pixels = std::move(original);
    return std::nullopt;
  }
  learned.trailing_zeros = length - stream.size();
  stream.resize(length, 0);
  return stream;
}

std::unique_ptr<Chunk> ReencodedImage::EncodeToChunk_(std::istream& in, std::ostream& out) const {
  return Encode(in, out, false);
}

std::unique_ptr<Chunk> ReencodedImage::PrepareAndEncodeToChunk_(std::istream& in, std::ostream& out) const {
  return Encode(in, out, true);
}

CodecResult ReencodedImage::EncodeStream_(std::istream&, std::ostream&) const {
  throw implementation_error("re-encoded images are encoded through EncodeToChunk_");
}

CodecResult ReencodedImage::PrepareAndEncodeStream_(std::istream&, std::ostream&) const {
  throw implementation_error("re-encoded images are encoded through PrepareAndEncodeToChunk_");
}

CodecResult ReencodedImage::DecodeStream_(std::istream& in, std::ostream& out) const {
  if (codec == Codec::None) {
    util::StreamCopyN(in, length, out);
    return {Codec::None, length};
  }
  ByteBuffer stored(length);
  if (ReadStreamToSpan(in, stored.span()) != stored.size()) {
    throw DecodeError("unexpected EOF", codec, kTarnStatusInvalidFileContent);
  }
  const Image plane = Plane(codec, length);
  SpanIStream stored_in(stored.span());
  std::ostringstream pixels;
  plane.DecodeStream(stored_in, pixels);
  const std::string decoded = pixels.str();
  if (decoded.size() != PixelBytes()) {
    throw DecodeError("re-encoded image decodes to the wrong number of pixel bytes", codec,
                      kTarnStatusInvalidFileContent);
  }
  std::vector<uint8_t> bytes;
  try {
    bytes = coding.Encode(Bytes(decoded));
  } catch (const NotReencodable& error) {
    throw DecodeError(fmt::format("re-encoded image cannot be coded again: {}", error.what()), codec,
                      kTarnStatusInvalidFileContent);
  }
  if (bytes.size() != DecodedLength() || !source_checksum || Checksum(bytes) != *source_checksum) {
    throw DecodeError(fmt::format("re-encoded {} bytes do not match the source's checksum",
                                  reencoded::CodingName(coding.coding)),
                      codec, kTarnStatusInvalidFileContent);
  }
  WriteSpanToStream(bytes, out);
  return {Codec::None, DecodedLength()};
}

CodecResult ReencodedImage::PrepareStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to prepare a re-encoded image already encoded with {}", CodecName(codec));
    util::StreamCopyN(in, length, out);
    return {codec, length};
  }
  ByteBuffer source(length);
  if (ReadStreamToSpan(in, source.span()) != source.size()) {
    throw PrepareError("unexpected EOF", kTarnStatusInvalidFileContent);
  }
  std::optional<std::vector<uint8_t>> prepared;
  try {
    std::vector<uint8_t> pixels;
    SourceCoding learned = coding.Learn(source.span(), pixels, PixelBytes());
    prepared = PreparedSource(learned, pixels, true);
  } catch (const NotReencodable& error) {
    Logger()->warn("{} image data of {} bytes is not prepared: {}", reencoded::CodingName(coding.coding), length,
                   error.what());
  }
  WriteSpanToStream(prepared ? std::span<const uint8_t>(*prepared) : std::span<const uint8_t>(source.span()), out);
  return {Codec::None, length};
}

std::vector<std::unique_ptr<Chunk>> WithSourceBytesKept(const std::vector<std::unique_ptr<Chunk>>& chunks) {
  std::vector<std::unique_ptr<Chunk>> kept;
  kept.reserve(chunks.size());
  for (const auto& chunk : chunks) {
    const bool reencodes = dynamic_cast<const ReencodedImage*>(chunk.get()) != nullptr && chunk->codec == Codec::None;
    kept.push_back(reencodes ? std::make_unique<UnspecifiedData>(chunk->length) : chunk->Clone());
  }
  return kept;
}

}  // namespace tarn::chunk
