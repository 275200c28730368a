// The chunk base: JSON members, equality and the wrappers around the stream hooks.
#include "tarn/file/metadata/chunk/chunk.hpp"

#include <stdexcept>

namespace tarn {

namespace {

uint64_t CheckedLength(uint64_t length) {
  if (length == 0) throw std::invalid_argument("Chunk length must be greater than zero");
  return length;
}

}  // namespace

Chunk::Chunk(Codec codec, uint64_t length) : codec(codec), length(CheckedLength(length)) {}

Json::Value Chunk::ToJson() const {
  Json::Value json(Json::objectValue);
  json["codec"] = static_cast<Json::Int>(codec);
  json["length"] = static_cast<Json::UInt64>(length);
  return json;
}

void Chunk::SetCalibrationId(const std::string&) {}

bool Chunk::operator==(const Chunk& other) const { return codec == other.codec && length == other.length; }

std::unique_ptr<Chunk> Chunk::EncodeStream(std::istream& in, std::ostream& out) const {
  auto [written_codec, written_length] = EncodeStream_(in, out);
  return CloneWithCodec(written_codec, written_length);
}

std::unique_ptr<Chunk> Chunk::DecodeStream(std::istream& in, std::ostream& out) const {
  auto [written_codec, written_length] = DecodeStream_(in, out);
  return CloneWithCodec(written_codec, written_length);
}

std::unique_ptr<Chunk> Chunk::PrepareStream(std::istream& in, std::ostream& out) const {
  auto [written_codec, written_length] = PrepareStream_(in, out);
  return CloneWithCodec(written_codec, written_length);
}

std::unique_ptr<Chunk> Chunk::PrepareAndEncodeStream(std::istream& in, std::ostream& out) const {
  auto [written_codec, written_length] = PrepareAndEncodeStream_(in, out);
  return CloneWithCodec(written_codec, written_length);
}

}  // namespace tarn
