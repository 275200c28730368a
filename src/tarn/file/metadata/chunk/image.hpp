// One plane of pixels stored row after row.
#pragma once

#include <bit>
#include <cstdint>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk/image/calibration.hpp"

namespace tarn::chunk {

// width x height x bytes_per_pixel, computed without wrapping.
uint64_t ImageDecodedLength(uint32_t width, uint32_t height, uint16_t bytes_per_pixel);

class Image : public Chunk {
 public:
  Image(Codec codec, uint64_t length, uint32_t width, uint32_t height, uint16_t bytes_per_pixel,
        std::endian endianness, const image::Calibration& calibration);
  // Uncompressed: codec None, length = ImageDecodedLength.
  Image(uint32_t width, uint32_t height, uint16_t bytes_per_pixel, std::endian endianness,
        const image::Calibration& calibration);

  static std::unique_ptr<Image> FromJson(const Json::Value& json, int version);

  Json::Value ToJson() const override;
  std::unique_ptr<Chunk> CloneWithCodec(Codec codec, uint64_t length) const override;
  uint64_t DecodedLength() const override;
  void SetCalibrationId(const std::string& id) override;
  bool operator==(const Chunk& other) const override;

  const uint32_t width;
  const uint32_t height;
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
