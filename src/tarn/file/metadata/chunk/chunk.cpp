// The chunk base: JSON members, equality and the wrappers around the stream hooks.
#include "tarn/file/metadata/chunk/chunk.hpp"

#include <stdexcept>

#include "tarn/error.hpp"
#include "tarn/util/checksum.hpp"
#include "tarn/util/checksum_output.hpp"

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
  if (checksum) json["checksum"] = util::ChecksumText(*checksum);
  return json;
}

std::unique_ptr<Chunk> Chunk::Clone() const {
  std::unique_ptr<Chunk> clone = CloneWithCodec(codec, length);
  clone->checksum = checksum;
  return clone;
}

void Chunk::SetCalibrationId(const std::string&) {}

unsigned Chunk::ContainerVersion() const { return 4; }

bool Chunk::operator==(const Chunk& other) const { return codec == other.codec && length == other.length; }

// Runs an operation that stores the chunk; what it stores as it is gets its checksum.
std::unique_ptr<Chunk> Chunk::Store(std::istream& in, std::ostream& out, Operation operation) const {
  util::ChecksumOutput summed(out);
  auto [written_codec, written_length] = (this->*operation)(in, summed);
  summed.PassStateOn(out);
  std::unique_ptr<Chunk> written = CloneWithCodec(written_codec, written_length);
  if (written_codec == Codec::None) {
    const std::optional<uint64_t> sum = summed.Sum(0);
    if (!sum || summed.Written() != written_length) {
      throw implementation_error("a chunk stored without coding was not written in one pass; its checksum is unknown");
    }
    written->checksum = sum;
  }
  return written;
}

std::unique_ptr<Chunk> Chunk::EncodeStream(std::istream& in, std::ostream& out) const {
  return EncodeToChunk_(in, out);
}

std::unique_ptr<Chunk> Chunk::EncodeToChunk_(std::istream& in, std::ostream& out) const {
  return Store(in, out, &Chunk::EncodeStream_);
}

std::unique_ptr<Chunk> Chunk::PrepareAndEncodeToChunk_(std::istream& in, std::ostream& out) const {
  return Store(in, out, &Chunk::PrepareAndEncodeStream_);
}

std::unique_ptr<Chunk> Chunk::DecodeStream(std::istream& in, std::ostream& out) const {
  if (codec != Codec::None || !checksum) {
    auto [written_codec, written_length] = DecodeStream_(in, out);
    return CloneWithCodec(written_codec, written_length);
  }
  util::ChecksumOutput summed(out);
  auto [written_codec, written_length] = DecodeStream_(in, summed);
  summed.PassStateOn(out);
  if (summed.Sum(0) != checksum) {
    throw DecodeError("stored bytes do not match their checksum", Codec::None, kTarnStatusInvalidFileContent);
  }
  return CloneWithCodec(written_codec, written_length);
}

std::unique_ptr<Chunk> Chunk::PrepareStream(std::istream& in, std::ostream& out) const {
  auto [written_codec, written_length] = PrepareStream_(in, out);
  return CloneWithCodec(written_codec, written_length);
}

std::unique_ptr<Chunk> Chunk::PrepareAndEncodeStream(std::istream& in, std::ostream& out) const {
  return PrepareAndEncodeToChunk_(in, out);
}

}  // namespace tarn
