// Lossless JPEG (ITU T.81 process 14: Huffman coding, predictors 1-7, point transform,
// 1-4 interleaved components, restart markers). The encoder writes a header it is given
// byte for byte and codes the samples with that header's tables, so that a stream decoded
// here and encoded again can be compared with its source.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn::codecs::ljpeg {

// A stream this codec cannot take or that is damaged; the text says why.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HuffmanTable {
  std::array<uint8_t, 16> counts{};  // codes of each length 1..16
  std::vector<uint8_t> values;       // difference categories in code order
};

struct Component {
  uint8_t id = 0;
  uint8_t table = 0;  // Huffman table of the scan
};

struct Header {
  uint8_t precision = 0;  // bits per sample, 2..16
  uint16_t width = 0;     // samples per line of each component
  uint16_t height = 0;
  std::vector<Component> components;  // in scan order
  uint8_t predictor = 1;              // 1..7
  uint8_t point_transform = 0;
  uint16_t restart_interval = 0;  // in samples of each component; 0 = none
  std::array<std::optional<HuffmanTable>, 4> tables;
  size_t size = 0;  // bytes up to the first entropy-coded byte
};

// Reads SOI up to and including SOS; other segments (APPn, COM) are passed over.
Header ParseHeader(std::span<const uint8_t> stream);

// The header's segments written from its fields (SOI, DHT, SOF3, DRI, SOS).
std::vector<uint8_t> WriteHeader(const Header& header);

struct Decoded {
  Header header;
  // width x height x components samples, interleaved, shifted back by the point transform.
  std::vector<uint16_t> samples;
  size_t end = 0;         // offset just past EOI
  bool pad_ones = true;   // the fill bits before markers were 1s (or there were none)
};

Decoded Decode(std::span<const uint8_t> stream);

// header_bytes must parse as a header (ParseHeader) whose size is all of it; the samples
// are coded with its tables, followed by EOI. A difference category the tables do not
// code throws FormatError.
std::vector<uint8_t> Encode(std::span<const uint8_t> header_bytes, std::span<const uint16_t> samples,
                            bool pad_ones = true);

// How often the samples need each of the 17 difference categories under this header.
std::array<uint64_t, 17> CategoryCounts(const Header& header, std::span<const uint16_t> samples);

// True when the header's tables code every difference category its samples can need
// (0 up to the precision after the point transform, one more for predictors 4-6), so
// that any samples can be coded with them.
bool CodesEveryDifference(const Header& header);

// A table that codes every category in `frequencies` with a non-zero count, code lengths
// at most 16 (Annex K.2 procedure).
HuffmanTable OptimalTable(const std::array<uint64_t, 17>& frequencies);

}  // namespace tarn::codecs::ljpeg
