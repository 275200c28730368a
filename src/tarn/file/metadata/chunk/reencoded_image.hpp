// An image whose source bytes were coded with a lossless coding that this library can
// repeat exactly (lossless JPEG, LZW, PackBits strips or tiles). Its pixels are stored
// with the image codec; restoring codes them again the way the source did and checks the
// result against the source bytes' checksum. Readers create it uncoded (codec None,
// length = the source bytes); encoding proves the re-encoding first and keeps the bytes
// as unspecified data when it does not give them back.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/image/calibration.hpp"
#include "tarn/file/metadata/chunk/reencoded/source_coding.hpp"

namespace tarn::chunk {

// The container version that first holds re-encoded images.
inline constexpr unsigned kReencodedImageContainerVersion = 5;

class ReencodedImage : public Chunk {
 public:
  // The pixels form a plane of width x height x bytes_per_pixel in `endianness`.
  ReencodedImage(Codec codec, uint64_t length, reencoded::SourceCoding coding, uint32_t width, uint32_t height,
                 uint16_t bytes_per_pixel, std::endian endianness, const image::Calibration& calibration,
                 std::optional<uint64_t> source_checksum);

  static std::unique_ptr<ReencodedImage> FromJson(const Json::Value& json, int version);

  Json::Value ToJson() const override;
  std::unique_ptr<Chunk> CloneWithCodec(Codec codec, uint64_t length) const override;
  uint64_t DecodedLength() const override;  // the source bytes
  void SetCalibrationId(const std::string& id) override;
  bool operator==(const Chunk& other) const override;
  unsigned ContainerVersion() const override;

  // The pixels as an image chunk stored with `codec` in `length` bytes.
  Image Plane(Codec codec, uint64_t length) const;
  uint64_t PixelBytes() const;

  const reencoded::SourceCoding coding;
  const uint32_t width;
  const uint32_t height;
  const uint16_t bytes_per_pixel;
  const std::endian endianness;
  image::Calibration calibration;
  // XXH3-64 of the source bytes ("source_checksum"); every stored chunk has one.
  const std::optional<uint64_t> source_checksum;

 protected:
  std::unique_ptr<Chunk> EncodeToChunk_(std::istream& in, std::ostream& out) const override;
  std::unique_ptr<Chunk> PrepareAndEncodeToChunk_(std::istream& in, std::ostream& out) const override;
  CodecResult EncodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult DecodeStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareStream_(std::istream& in, std::ostream& out) const override;
  CodecResult PrepareAndEncodeStream_(std::istream& in, std::ostream& out) const override;

 private:
  std::unique_ptr<Chunk> Encode(std::istream& in, std::ostream& out, bool prepare) const;
  // Prepares `pixels` in place and codes them as the source did, as long as the source
  // (zeros after EOI make up the difference; `coding` learns how many). Nothing, the
  // pixels untouched and a warning saying why, when the result could not be that: only
  // lossless JPEG whose tables code every difference category is written back prepared.
  std::optional<std::vector<uint8_t>> PreparedSource(reencoded::SourceCoding& coding,
                                                     std::vector<uint8_t>& pixels, bool prepare_only) const;
};

// Clones of `chunks` with every re-encoded image that is not coded yet as the unspecified
// data of its source bytes: what a file of container version 4 may hold.
std::vector<std::unique_ptr<Chunk>> WithSourceBytesKept(const std::vector<std::unique_ptr<Chunk>>& chunks);

}  // namespace tarn::chunk
