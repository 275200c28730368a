// Every byte range that is not pixel data; compressed with zstd.
#pragma once

#include "tarn/file/metadata/chunk/chunk.hpp"

namespace tarn::chunk {

class UnspecifiedData : public Chunk {
 public:
  UnspecifiedData(Codec codec, uint64_t length, uint64_t decoded_length);
  explicit UnspecifiedData(uint64_t length);  // codec None, decoded_length = length

  static std::unique_ptr<UnspecifiedData> FromJson(const Json::Value& json, int version);

  Json::Value ToJson() const override;
  std::unique_ptr<Chunk> CloneWithCodec(Codec codec, uint64_t length) const override;
  uint64_t DecodedLength() const override { return decoded_length; }
  bool operator==(const Chunk& other) const override;

  const uint64_t decoded_length;

 protected:
  CodecResult EncodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult DecodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const override;
};

}  // namespace tarn::chunk
