// Unspecified data: zstd on encode, plain copies wherever a codec does not apply.
#include "tarn/file/metadata/chunk/unspecified_data.hpp"

#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/util/recover_encode_error.hpp"
#include "tarn/file/metadata/chunk/codec/zstd.hpp"
#include "tarn/logger.hpp"
#include "tarn/util/stream.hpp"

namespace tarn::chunk {

UnspecifiedData::UnspecifiedData(Codec codec, uint64_t length, uint64_t decoded_length)
    : Chunk(codec, length), decoded_length(decoded_length) {
  // Stored bytes are the decoded bytes; anything else would restore a file of the wrong size.
  if (codec == Codec::None && decoded_length != length) {
    throw std::invalid_argument("UnspecifiedData without codec must have decoded_length equal to length");
  }
}

UnspecifiedData::UnspecifiedData(uint64_t length) : UnspecifiedData(Codec::None, length, length) {}

std::unique_ptr<UnspecifiedData> UnspecifiedData::FromJson(const Json::Value& json, int /*version*/) {
  if (!json.isObject() || !json.isMember("codec") || !json.isMember("length") || !json.isMember("decoded_length")) {
    throw std::invalid_argument("JSON does not correspond to UnspecifiedData");
  }
  return std::make_unique<UnspecifiedData>(static_cast<Codec>(json["codec"].asInt()), json["length"].asUInt64(),
                                           json["decoded_length"].asUInt64());
}

Json::Value UnspecifiedData::ToJson() const {
  Json::Value json = Chunk::ToJson();
  json["decoded_length"] = static_cast<Json::UInt64>(decoded_length);
  return json;
}

std::unique_ptr<Chunk> UnspecifiedData::CloneWithCodec(Codec new_codec, uint64_t new_length) const {
  return std::make_unique<UnspecifiedData>(new_codec, new_length, decoded_length);
}

bool UnspecifiedData::operator==(const Chunk& other) const {
  const auto* data = dynamic_cast<const UnspecifiedData*>(&other);
  return data != nullptr && Chunk::operator==(other) && decoded_length == data->decoded_length;
}

CodecResult UnspecifiedData::EncodeStream_(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None) {
    Logger()->warn("Attempted to encode UnspecifiedData already encoded with {}", CodecName(codec));
    util::StreamCopyN(in, length, out);
    return {codec, length};
  }
  const auto before = in.tellg();
  const auto out_before = out.tellp();
  try {
    return codec::zstd::EncodeStream(*this, in, out);
  } catch (const EncodeError& error) {
    // Only a failure of the codec itself falls back; bad input (status 7) must surface.
    if (error.status() != kTarnStatusUnknownError) throw;
    codec::RecoverEncodeError(error, in, before);
    // The encoder may have written part of a frame; the copy has to replace it.
    if (out_before == std::ostream::pos_type(-1)) throw error;
    out.clear();
    out.seekp(out_before);
    if (!out) throw error;
    Logger()->error("{} encoder error: {}. Chunk will be copied over.", CodecName(Codec::Zstd), error.what());
    util::StreamCopyN(in, length, out);
    return {Codec::None, length};
  }
}

CodecResult UnspecifiedData::DecodeStream_(std::istream& in, std::ostream& out) const {
  switch (codec) {
    case Codec::None:
      util::StreamCopyN(in, length, out);
      return {Codec::None, length};
    case Codec::Zstd:
      return codec::zstd::DecodeStream(*this, in, out);
    default:
      Logger()->warn("Attempted to decode UnspecifiedData with a codec that has no designated decoder: {}",
                     CodecName(codec));
      util::StreamCopyN(in, length, out);
      return {codec, length};
  }
}

CodecResult UnspecifiedData::PrepareStream_(std::istream& in, std::ostream& out) const {
  util::StreamCopyN(in, length, out);
  return {codec, length};
}

CodecResult UnspecifiedData::PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const {
  return EncodeStream_(in, out);
}

}  // namespace tarn::chunk
