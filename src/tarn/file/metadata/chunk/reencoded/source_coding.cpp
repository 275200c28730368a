#include "tarn/file/metadata/chunk/reencoded/source_coding.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "tarn/codecs/lossless_jpeg.hpp"
#include "tarn/codecs/packbits.hpp"
#include "tarn/codecs/tiff_lzw.hpp"
#include "tarn/codecs/tiff_predictor.hpp"
#include "tarn/error.hpp"

namespace tarn::chunk::reencoded {
namespace {

constexpr std::pair<Coding, const char*> kCodingNames[] = {
    {Coding::kLosslessJpeg, "lossless_jpeg"}, {Coding::kLzw, "lzw"}, {Coding::kPackBits, "packbits"}};

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

std::vector<uint8_t> FromHex(const std::string& text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw bad_metadata("re-encoded chunk holds a header that is not lowercase hexadecimal");
  };
  if (text.size() % 2 != 0) throw bad_metadata("re-encoded chunk holds a header of odd length");
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(digit(text[2 * i]) << 4 | digit(text[2 * i + 1]));
  return bytes;
}

const Json::Value& Member(const Json::Value& json, const char* key) {
  const Json::Value* value = json.find(key, key + std::strlen(key));
  if (value == nullptr) throw bad_metadata(fmt::format("re-encoded chunk lacks \"{}\"", key));
  return *value;
}

uint64_t UInt(const Json::Value& json, const char* key, uint64_t max) {
  const Json::Value& value = Member(json, key);
  if (!value.isUInt64() || value.asUInt64() > max) throw bad_metadata(fmt::format("re-encoded chunk \"{}\" is out of range", key));
  return value.asUInt64();
}

std::vector<uint64_t> UIntArray(const Json::Value& value, const char* key) {
  if (!value.isArray()) throw bad_metadata(fmt::format("re-encoded chunk \"{}\" is not an array", key));
  std::vector<uint64_t> values;
  for (const Json::Value& item : value) {
    if (!item.isUInt64()) throw bad_metadata(fmt::format("re-encoded chunk \"{}\" holds a value out of range", key));
    values.push_back(item.asUInt64());
  }
  return values;
}

Json::Value Array(const std::vector<uint64_t>& values) {
  Json::Value array(Json::arrayValue);
  for (uint64_t value : values) array.append(static_cast<Json::UInt64>(value));
  return array;
}

uint64_t SegmentPixels(const SourceCoding& coding, size_t index, uint64_t pixel_bytes) {
  const uint64_t done = coding.segment_pixel_bytes * index;
  if (done >= pixel_bytes) throw NotReencodable("more strips than the image has rows");
  return std::min(coding.segment_pixel_bytes, pixel_bytes - done);
}

codecs::predictor::Layout PredictorLayout(const SourceCoding& coding) {
  return {coding.row_bytes, coding.sample_bytes, coding.samples_per_pixel, coding.big_endian};
}

}  // namespace

const char* CodingName(Coding coding) {
  for (const auto& [known, name] : kCodingNames) {
    if (known == coding) return name;
  }
  return "unknown";
}

uint64_t SourceCoding::SourceLength() const {
  uint64_t total = 0;
  for (uint64_t segment : segments) total += segment;
  return total;
}

Json::Value SourceCoding::ToJson() const {
  Json::Value json(Json::objectValue);
  json["kind"] = CodingName(coding);
  json["segments"] = Array(segments);
  json["segment_bytes"] = static_cast<Json::UInt64>(segment_pixel_bytes);
  if (coding == Coding::kLosslessJpeg) {
    json["header"] = Hex(jpeg_header);
    json["pad_ones"] = pad_ones;
    if (trailing_zeros != 0) json["trailing_zeros"] = static_cast<Json::UInt64>(trailing_zeros);
    return json;
  }
  json["row_bytes"] = static_cast<Json::UInt64>(row_bytes);
  json["predictor"] = predictor;
  if (predictor == 2) {
    json["sample_bytes"] = sample_bytes;
    json["samples_per_pixel"] = samples_per_pixel;
    json["big_endian"] = big_endian;
  }
  if (coding == Coding::kLzw && !clears.empty()) {
    Json::Value& map = json["clears"] = Json::Value(Json::objectValue);
    for (const auto& [segment, offsets] : clears) map[std::to_string(segment)] = Array(offsets);
  }
  return json;
}

SourceCoding SourceCoding::FromJson(const Json::Value& json) {
  if (!json.isObject()) throw bad_metadata("re-encoded chunk \"source_coding\" is not an object");
  SourceCoding coding;
  const Json::Value& kind = Member(json, "kind");
  const auto* name = std::find_if(std::begin(kCodingNames), std::end(kCodingNames),
                                  [&](const auto& entry) { return kind.isString() && kind.asString() == entry.second; });
  if (name == std::end(kCodingNames)) throw bad_metadata("re-encoded chunk names an unknown source coding");
  coding.coding = name->first;
  coding.segments = UIntArray(Member(json, "segments"), "segments");
  if (coding.segments.empty() || std::find(coding.segments.begin(), coding.segments.end(), 0) != coding.segments.end()) {
    throw bad_metadata("re-encoded chunk has an empty segment list or an empty segment");
  }
  coding.segment_pixel_bytes = UInt(json, "segment_bytes", UINT64_MAX);
  if (coding.segment_pixel_bytes == 0) throw bad_metadata("re-encoded chunk \"segment_bytes\" is 0");
  if (coding.coding == Coding::kLosslessJpeg) {
    const Json::Value& header = Member(json, "header");
    if (!header.isString()) throw bad_metadata("re-encoded chunk \"header\" is not text");
    coding.jpeg_header = FromHex(header.asString());
    const Json::Value& pad = Member(json, "pad_ones");
    if (!pad.isBool()) throw bad_metadata("re-encoded chunk \"pad_ones\" is not a boolean");
    coding.pad_ones = pad.asBool();
    if (coding.segments.size() != 1) throw bad_metadata("a lossless JPEG chunk holds one stream");
    if (json.isMember("trailing_zeros")) {
      coding.trailing_zeros = UInt(json, "trailing_zeros", coding.segments[0] - 1);
    }
    return coding;
  }
  coding.row_bytes = UInt(json, "row_bytes", UINT32_MAX);
  coding.predictor = static_cast<uint16_t>(UInt(json, "predictor", 2));
  if (coding.row_bytes == 0 || coding.predictor == 0) throw bad_metadata("re-encoded chunk has no rows or no predictor");
  if (coding.predictor == 2) {
    coding.sample_bytes = static_cast<uint16_t>(UInt(json, "sample_bytes", 4));
    coding.samples_per_pixel = static_cast<uint16_t>(UInt(json, "samples_per_pixel", UINT16_MAX));
    const Json::Value& big = Member(json, "big_endian");
    if (!big.isBool() || (coding.sample_bytes != 1 && coding.sample_bytes != 2 && coding.sample_bytes != 4) ||
        coding.samples_per_pixel == 0) {
      throw bad_metadata("re-encoded chunk has an unusable predictor layout");
    }
    coding.big_endian = big.asBool();
  }
  if (const Json::Value* clears = json.find("clears", "clears" + 6)) {
    if (!clears->isObject() || coding.coding != Coding::kLzw) throw bad_metadata("re-encoded chunk \"clears\" is unusable");
    for (const std::string& key : clears->getMemberNames()) {
      if (key.empty() || key.size() > 19 || !std::all_of(key.begin(), key.end(), ::isdigit)) {
        throw bad_metadata("re-encoded chunk \"clears\" names no segment");
      }
      const uint64_t segment = std::stoull(key);
      if (segment >= coding.segments.size()) throw bad_metadata("re-encoded chunk \"clears\" names no segment");
      std::vector<uint64_t> offsets = UIntArray((*clears)[key], "clears");
      if (!std::is_sorted(offsets.begin(), offsets.end())) throw bad_metadata("re-encoded chunk clears are not in order");
      coding.clears[segment] = std::move(offsets);
    }
  }
  return coding;
}

SourceCoding SourceCoding::Learn(std::span<const uint8_t> source, std::vector<uint8_t>& pixels,
                                 uint64_t pixel_bytes) const {
  if (source.size() != SourceLength()) throw implementation_error("source bytes differ from the segments' sum");
  SourceCoding learned = *this;
  pixels.clear();
  try {
    if (coding == Coding::kLosslessJpeg) {
      if (segments.size() != 1) throw NotReencodable("a lossless JPEG chunk holds one stream");
      codecs::ljpeg::Decoded decoded = codecs::ljpeg::Decode(source);
      if (!std::all_of(source.begin() + static_cast<std::ptrdiff_t>(decoded.end), source.end(),
                       [](uint8_t byte) { return byte == 0; })) {
        throw NotReencodable(fmt::format("{} bytes that are not all zero follow the JPEG stream's EOI",
                                         source.size() - decoded.end));
      }
      learned.trailing_zeros = source.size() - decoded.end;
      if (decoded.samples.size() * 2 != pixel_bytes) {
        throw NotReencodable(fmt::format("the JPEG frame holds {} samples, the image {}", decoded.samples.size(),
                                         pixel_bytes / 2));
      }
      learned.jpeg_header.assign(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(decoded.header.size));
      learned.pad_ones = decoded.pad_ones;
      learned.segment_pixel_bytes = pixel_bytes;
      pixels.resize(pixel_bytes);
      for (size_t i = 0; i < decoded.samples.size(); ++i) {
        pixels[2 * i] = static_cast<uint8_t>(decoded.samples[i]);
        pixels[2 * i + 1] = static_cast<uint8_t>(decoded.samples[i] >> 8);
      }
      return learned;
    }
    pixels.reserve(pixel_bytes);
    learned.clears.clear();
    uint64_t at = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
      const std::span<const uint8_t> segment = source.subspan(at, segments[i]);
      at += segments[i];
      const uint64_t expected = SegmentPixels(*this, i, pixel_bytes);
      std::vector<uint8_t> bytes;
      if (coding == Coding::kLzw) {
        codecs::lzw::Decoded decoded = codecs::lzw::Decode(segment, expected);
        if (!decoded.eoi) throw NotReencodable(fmt::format("LZW strip {} does not end with EOI", i));
        if (decoded.end != segment.size()) {
          throw NotReencodable(fmt::format("{} bytes follow the EOI of LZW strip {}", segment.size() - decoded.end, i));
        }
        if (decoded.clears != std::vector<uint64_t>{0}) learned.clears[i] = decoded.clears;
        bytes = std::move(decoded.bytes);
      } else {
        bytes = codecs::packbits::Decode(segment, expected);
      }
      if (bytes.size() != expected) {
        throw NotReencodable(fmt::format("strip {} decodes to {} bytes, {} expected", i, bytes.size(), expected));
      }
      pixels.insert(pixels.end(), bytes.begin(), bytes.end());
    }
    if (pixels.size() != pixel_bytes) {
      throw NotReencodable(fmt::format("strips decode to {} bytes, the image has {}", pixels.size(), pixel_bytes));
    }
    if (predictor == 2) codecs::predictor::UndoHorizontalDifferencing(pixels, PredictorLayout(*this));
    return learned;
  } catch (const codecs::ljpeg::FormatError& error) {
    throw NotReencodable(error.what());
  } catch (const codecs::lzw::FormatError& error) {
    throw NotReencodable(error.what());
  } catch (const codecs::packbits::FormatError& error) {
    throw NotReencodable(error.what());
  }
}

std::vector<uint8_t> SourceCoding::Encode(std::span<const uint8_t> pixels) const {
  try {
    if (coding == Coding::kLosslessJpeg) {
      if (pixels.size() % 2 != 0) throw NotReencodable("lossless JPEG pixels are not 16-bit");
      std::vector<uint16_t> samples(pixels.size() / 2);
      for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<uint16_t>(pixels[2 * i] | (pixels[2 * i + 1] << 8));
      }
      std::vector<uint8_t> stream = codecs::ljpeg::Encode(jpeg_header, samples, pad_ones);
      stream.resize(stream.size() + trailing_zeros, 0);
      return stream;
    }
    std::vector<uint8_t> differenced;
    std::span<const uint8_t> coded = pixels;
    if (predictor == 2) {
      differenced.assign(pixels.begin(), pixels.end());
      codecs::predictor::ApplyHorizontalDifferencing(differenced, PredictorLayout(*this));
      coded = differenced;
    }
    std::vector<uint8_t> out;
    out.reserve(SourceLength());
    static const std::vector<uint64_t> kLeadingClear{0};
    for (size_t i = 0; i < segments.size(); ++i) {
      const uint64_t start = segment_pixel_bytes * i;
      if (start >= coded.size()) throw NotReencodable("more strips than the image has rows");
      const std::span<const uint8_t> slice = coded.subspan(start, std::min(segment_pixel_bytes, coded.size() - start));
      std::vector<uint8_t> bytes;
      if (coding == Coding::kLzw) {
        const auto found = clears.find(i);
        bytes = codecs::lzw::Encode(slice, found == clears.end() ? kLeadingClear : found->second);
      } else {
        bytes = codecs::packbits::Encode(slice, row_bytes);
      }
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
  } catch (const codecs::ljpeg::FormatError& error) {
    throw NotReencodable(error.what());
  }
}

}  // namespace tarn::chunk::reencoded
