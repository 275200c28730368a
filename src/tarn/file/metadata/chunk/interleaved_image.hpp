// An image whose rows hold several channels interleaved pixel by pixel,
// each row possibly followed by padding.
#pragma once

#include <bit>
#include <cstdint>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk/image/calibration.hpp"

namespace tarn::chunk {

// width_bytes x height, computed without wrapping.
uint64_t InterleavedImageDecodedLength(uint32_t width_bytes, uint32_t height);

class InterleavedImage : public Chunk {
 public:
  InterleavedImage(Codec codec, uint64_t length, uint32_t width, uint32_t height, uint32_t width_bytes,
                   uint16_t channels, uint16_t bytes_per_pixel, std::endian endianness,
                   const image::Calibration& calibration);
  // Uncompressed: codec None, length = width_bytes x height.
  InterleavedImage(uint32_t width, uint32_t height, uint32_t width_bytes, uint16_t channels,
                   uint16_t bytes_per_pixel, std::endian endianness, const image::Calibration& calibration);

  static std::unique_ptr<InterleavedImage> FromJson(const Json::Value& json, int version);

  Json::Value ToJson() const override;
  std::unique_ptr<Chunk> CloneWithCodec(Codec codec, uint64_t length) const override;
  uint64_t DecodedLength() const override;
  void SetCalibrationId(const std::string& id) override;
  bool operator==(const Chunk& other) const override;

  // One plane per channel, rows padded to a multiple of 4 bytes, and back.
  void RearrangeChannelsToStream(std::istream& in, std::ostream& out) const;
  void ResetChannelsToStream(std::istream& in, std::ostream& out) const;

  const uint32_t width;
  const uint32_t height;
  const uint32_t width_bytes;
  const uint16_t channels;
  const uint16_t bytes_per_pixel;
  const std::endian endianness;
  image::Calibration calibration;

 protected:
  CodecResult EncodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult DecodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const override;
};

}  // namespace tarn::chunk
