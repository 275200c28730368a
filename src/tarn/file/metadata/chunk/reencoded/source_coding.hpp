// How the bytes of a re-encoded image chunk were coded in the source file (lossless JPEG,
// LZW or PackBits strips and tiles), with everything needed to code its pixels again
// into exactly those bytes. The reader fills in the layout; Learn adds what only the
// coded bytes tell (the JPEG header, the places of LZW clears).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

namespace tarn::chunk::reencoded {

enum class Coding { kLosslessJpeg, kLzw, kPackBits };

// "lossless_jpeg", "lzw", "packbits"
const char* CodingName(Coding coding);

// Source bytes that cannot be taken; the text says why.
class NotReencodable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SourceCoding {
  Coding coding = Coding::kLzw;
  // Source bytes of each strip or tile, in file order, back to back.
  std::vector<uint64_t> segments;
  // Pixel bytes each segment decodes to; the last one may hold fewer (a short last strip).
  uint64_t segment_pixel_bytes = 0;
  // LZW and PackBits: the rows (PackBits codes row by row) and the TIFF predictor.
  uint64_t row_bytes = 0;
  uint16_t predictor = 1;
  uint16_t sample_bytes = 1;
  uint16_t samples_per_pixel = 1;
  bool big_endian = false;
  // LZW: the clears of segments that do not have just the leading one, by segment index.
  std::map<uint64_t, std::vector<uint64_t>> clears;
  // Lossless JPEG (one segment): the header from SOI to SOS and the fill bits.
  std::vector<uint8_t> jpeg_header;
  bool pad_ones = true;
  // Zero bytes after EOI up to the end of the tile (prepared tiles keep their length so).
  uint64_t trailing_zeros = 0;

  uint64_t SourceLength() const;

  Json::Value ToJson() const;
  static SourceCoding FromJson(const Json::Value& json);
  bool operator==(const SourceCoding&) const = default;

  // Decodes the source bytes into `pixels` (plane bytes: the decoded strips back to back;
  // 16-bit little-endian samples for lossless JPEG) and returns the description with what
  // the coded bytes tell. Throws NotReencodable.
  SourceCoding Learn(std::span<const uint8_t> source, std::vector<uint8_t>& pixels, uint64_t pixel_bytes) const;
  // The source bytes again from the pixels. Throws NotReencodable when they cannot be coded
  // (a lossless JPEG table without a code for a difference).
  std::vector<uint8_t> Encode(std::span<const uint8_t> pixels) const;
};

}  // namespace tarn::chunk::reencoded
