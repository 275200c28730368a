#include "tarn/file/metadata/readers/nd2_attributes.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "tarn/file/metadata/readers/byte_source.hpp"

namespace tarn::metadata::nd2 {
namespace {

// LV type codes.
enum : uint8_t {
  kBool = 1,
  kInt32 = 2,
  kUInt32 = 3,
  kInt64 = 4,
  kUInt64 = 5,
  kDouble = 6,
  kVoidPointer = 7,
  kString = 8,
  kByteArray = 9,
  kLevel = 11,
};

// Real attribute records are two levels deep; anything far deeper is damage.
constexpr int kMaxLevelDepth = 16;

Field* FieldNamed(Attributes& attributes, std::string_view name) {
  if (name == "uiWidth") return &attributes.width;
  if (name == "uiWidthBytes") return &attributes.width_bytes;
  if (name == "uiHeight") return &attributes.height;
  if (name == "uiComp") return &attributes.components;
  if (name == "uiBpcInMemory") return &attributes.bits_per_component;
  if (name == "eCompression") return &attributes.compression;
  if (name == "uiTileWidth") return &attributes.tile_width;
  if (name == "uiTileHeight") return &attributes.tile_height;
  return nullptr;
}

void Record(Field& field, std::optional<int64_t> value) {
  if (!value) {
    field.conflicting = true;
    return;
  }
  if (field.value && *field.value != *value) {
    field.conflicting = true;
  }
  field.value = value;
}

class LvDecoder {
 public:
  LvDecoder(std::span<const uint8_t> data, Attributes& attributes) : data_(data), attributes_(attributes) {}

  void DecodeAll() {
    uint64_t position = 0;
    while (position < data_.size()) {
      if (data_[position] == 0) {
        // Zero padding after the last item.
        for (uint64_t i = position; i < data_.size(); ++i) {
          if (data_[i] != 0) throw std::runtime_error("LV data holds an item of unknown type 0");
        }
        return;
      }
      position = DecodeItem(position, data_.size(), 0);
    }
  }

 private:
  void Need(uint64_t position, uint64_t length, uint64_t end) const {
    if (!RangeFits(position, length, end)) throw std::runtime_error("LV item runs past its end");
  }

  // Decodes the item at `position` and returns where the next one starts.
  uint64_t DecodeItem(uint64_t position, uint64_t end, int depth) {
    const uint64_t item_start = position;
    Need(position, 2, end);
    const uint8_t type = data_[position];
    const uint8_t name_units = data_[position + 1];
    position += 2;
    Need(position, 2 * uint64_t{name_units}, end);
    std::string name;
    for (uint64_t i = 0; i < name_units; ++i) {
      const uint16_t unit = LoadLittleEndian<uint16_t>(&data_[position + 2 * i]);
      if (unit == 0) break;
      name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    position += 2 * uint64_t{name_units};
    Field* field = FieldNamed(attributes_, name);

    switch (type) {
      case kBool:
        Need(position, 1, end);
        if (field) Record(*field, data_[position]);
        return position + 1;
      case kInt32:
        Need(position, 4, end);
        if (field) Record(*field, LoadLittleEndian<int32_t>(&data_[position]));
        return position + 4;
      case kUInt32:
        Need(position, 4, end);
        if (field) Record(*field, LoadLittleEndian<uint32_t>(&data_[position]));
        return position + 4;
      case kInt64:
        Need(position, 8, end);
        if (field) Record(*field, LoadLittleEndian<int64_t>(&data_[position]));
        return position + 8;
      case kUInt64: {
        Need(position, 8, end);
        const uint64_t value = LoadLittleEndian<uint64_t>(&data_[position]);
        if (field) {
          Record(*field, value <= uint64_t{std::numeric_limits<int64_t>::max()}
                             ? std::optional<int64_t>(static_cast<int64_t>(value))
                             : std::nullopt);
        }
        return position + 8;
      }
      case kDouble:
      case kVoidPointer:
        Need(position, 8, end);
        if (field) Record(*field, std::nullopt);
        return position + 8;
      case kString:
        if (field) Record(*field, std::nullopt);
        for (;; position += 2) {
          Need(position, 2, end);
          if (data_[position] == 0 && data_[position + 1] == 0) return position + 2;
        }
      case kByteArray: {
        if (field) Record(*field, std::nullopt);
        Need(position, 8, end);
        const uint64_t length = LoadLittleEndian<uint64_t>(&data_[position]);
        position += 8;
        Need(position, length, end);
        return position + length;
      }
      case kLevel:
        return DecodeLevel(item_start, position, end, depth);
      default:
        // 10 (deprecated), 76 (zlib-compressed LV) and unknown codes.
        throw std::runtime_error("LV item of unsupported type " + std::to_string(type));
    }
  }

  // A level: child count, its length from the type byte to the end of the last
  // child, the children, then one 8-byte index entry per child.
  uint64_t DecodeLevel(uint64_t item_start, uint64_t position, uint64_t end, int depth) {
    if (depth >= kMaxLevelDepth) throw std::runtime_error("LV levels nested too deeply");
    Need(position, 12, end);
    const uint32_t count = LoadLittleEndian<uint32_t>(&data_[position]);
    const uint64_t length = LoadLittleEndian<uint64_t>(&data_[position + 4]);
    position += 12;
    uint64_t level_end = 0;
    if (AddOverflows(item_start, length, level_end) || level_end < position || level_end > end) {
      throw std::runtime_error("LV level length outside its parent");
    }
    for (uint32_t i = 0; i < count; ++i) {
      position = DecodeItem(position, level_end, depth + 1);
    }
    if (position != level_end) throw std::runtime_error("LV level children do not fill its length");
    Need(level_end, uint64_t{count} * 8, end);
    return level_end + uint64_t{count} * 8;
  }

  std::span<const uint8_t> data_;
  Attributes& attributes_;
};

std::optional<int64_t> ParseInteger(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

void CollectXmlFields(const xmlNode* node, Attributes& attributes, int depth) {
  if (depth > 64) throw std::runtime_error("attribute XML nested too deeply");
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (Field* field = FieldNamed(attributes, reinterpret_cast<const char*>(node->name))) {
      xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>("value"));
      Record(*field, value ? ParseInteger(reinterpret_cast<const char*>(value)) : std::nullopt);
      xmlFree(value);
    }
    CollectXmlFields(node->children, attributes, depth + 1);
  }
}

}  // namespace

Attributes DecodeLvAttributes(std::span<const uint8_t> data) {
  Attributes attributes;
  LvDecoder(data, attributes).DecodeAll();
  return attributes;
}

Attributes DecodeXmlAttributes(std::span<const uint8_t> data) {
  if (data.size() > uint64_t{std::numeric_limits<int>::max()}) throw std::runtime_error("attribute XML too large");
  // No network, no entity expansion, no messages on standard error.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  const auto parse = [&](int extra) {
    return std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>(
        xmlReadMemory(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), nullptr, nullptr,
                      options | extra),
        &xmlFreeDoc);
  };
  auto document = parse(0);
  if (!document) {
    // Some writers declare an encoding the bytes do not use.
    document = parse(XML_PARSE_IGNORE_ENC);
  }
  if (!document) throw std::runtime_error("attribute XML does not parse");
  Attributes attributes;
  CollectXmlFields(xmlDocGetRootElement(document.get()), attributes, 0);
  return attributes;
}

Attributes DecodeAttributes(std::span<const uint8_t> data) {
  std::span<const uint8_t> rest = data;
  if (rest.size() >= 3 && rest[0] == 0xEF && rest[1] == 0xBB && rest[2] == 0xBF) rest = rest.subspan(3);
  const bool utf16_bom = rest.size() >= 2 && ((rest[0] == 0xFF && rest[1] == 0xFE) || (rest[0] == 0xFE && rest[1] == 0xFF));
  while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t' || rest[0] == '\r' || rest[0] == '\n')) {
    rest = rest.subspan(1);
  }
  if (utf16_bom) return DecodeXmlAttributes(data);
  if (!rest.empty() && rest[0] == '<') return DecodeXmlAttributes(rest);
  return DecodeLvAttributes(data);
}

}  // namespace tarn::metadata::nd2
