// Builds synthetic ND2 files laid out as the format note describes, so the
// parser can be checked on shapes the real samples do not cover.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "readers/sparse_file.hpp"

namespace tarn::test {

struct Nd2Spec {
  std::string version = "Ver3.0";
  uint32_t width = 5;
  uint32_t height = 3;
  uint32_t width_bytes = 12;
  uint32_t components = 1;
  int32_t bits = 16;
  std::optional<int32_t> compression = 2;
  std::optional<uint32_t> tile_width;
  std::optional<uint32_t> tile_height;
  bool xml_attributes = false;
  uint64_t frames = 2;
  uint32_t image_name_length = 4072;
  uint64_t frame_extra = 0;     // bytes after the pixels inside each frame chunk
  uint64_t alignment = 4096;    // chunks start on multiples of this
  uint64_t frame_base = 0;      // when set, the first frame chunk starts here
  std::vector<std::string> frame_names;  // overrides "ImageDataSeq|N!"
};

struct BuiltNd2 {
  SparseFile file;
  std::vector<uint64_t> frame_chunks;  // chunk header offsets, frame order
  std::vector<uint64_t> pixels;        // first pixel byte of each frame
  uint64_t attributes = 0;
  uint64_t map = 0;
};

inline std::vector<uint8_t> Nd2Chunk(const std::string& name, uint32_t name_length, const std::vector<uint8_t>& data) {
  Bytes bytes;
  bytes.Le(uint32_t{0x0ABECEDA}).Le(name_length).Le(uint64_t{data.size()}).Text(name);
  bytes.ZeroPadTo(16 + name_length).Raw(data);
  return bytes.data;
}

// LV items: type, name length in UTF-16 units with the NUL, UTF-16 name, value.
inline Bytes LvItem(uint8_t type, const std::string& name) {
  Bytes bytes;
  bytes.Le(type).Le(static_cast<uint8_t>(name.size() + 1));
  for (char c : name) bytes.Le(static_cast<uint16_t>(c));
  bytes.Le(uint16_t{0});
  return bytes;
}
inline std::vector<uint8_t> LvUInt32(const std::string& name, uint32_t v) { return LvItem(3, name).Le(v).data; }
inline std::vector<uint8_t> LvInt32(const std::string& name, int32_t v) { return LvItem(2, name).Le(v).data; }
inline std::vector<uint8_t> LvDouble(const std::string& name) { return LvItem(6, name).Le(uint64_t{0}).data; }
inline std::vector<uint8_t> LvString(const std::string& name, const std::string& value) {
  Bytes bytes = LvItem(8, name);
  for (char c : value) bytes.Le(static_cast<uint16_t>(c));
  return bytes.Le(uint16_t{0}).data;
}
inline std::vector<uint8_t> LvLevel(const std::string& name, const std::vector<std::vector<uint8_t>>& children) {
  Bytes head = LvItem(11, name);
  uint64_t length = head.data.size() + 12;
  for (const auto& child : children) length += child.size();
  head.Le(static_cast<uint32_t>(children.size())).Le(length);
  for (const auto& child : children) head.Raw(child);
  return head.Zeros(8 * children.size()).data;
}

inline std::vector<uint8_t> Nd2LvAttributes(const Nd2Spec& spec) {
  std::vector<std::vector<uint8_t>> items{
      LvUInt32("uiWidth", spec.width),           LvUInt32("uiWidthBytes", spec.width_bytes),
      LvUInt32("uiHeight", spec.height),         LvUInt32("uiComp", spec.components),
      LvInt32("uiBpcInMemory", spec.bits),       LvInt32("uiBpcSignificant", spec.bits),
      LvUInt32("uiSequenceCount", static_cast<uint32_t>(spec.frames)),
      LvDouble("dCompressionParam"),             LvString("wsDescription", "synthetic"),
  };
  if (spec.compression) items.push_back(LvInt32("eCompression", *spec.compression));
  if (spec.tile_width) items.push_back(LvUInt32("uiTileWidth", *spec.tile_width));
  if (spec.tile_height) items.push_back(LvUInt32("uiTileHeight", *spec.tile_height));
  return LvLevel("SLxImageAttributes", items);
}

inline std::vector<uint8_t> Nd2XmlAttributes(const Nd2Spec& spec) {
  auto field = [](const std::string& name, const char* type, int64_t value) {
    return "<" + name + " runtype=\"" + type + "\" value=\"" + std::to_string(value) + "\"/>";
  };
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<variant version=\"1.0\"><no_name runtype=\"CLxListVariant\">";
  xml += field("uiWidth", "lx_uint32", spec.width) + field("uiWidthBytes", "lx_uint32", spec.width_bytes) +
         field("uiHeight", "lx_uint32", spec.height) + field("uiComp", "lx_uint32", spec.components) +
         field("uiBpcInMemory", "lx_int32", spec.bits);
  if (spec.compression) xml += field("eCompression", "lx_int32", *spec.compression);
  if (spec.tile_width) xml += field("uiTileWidth", "lx_uint32", *spec.tile_width);
  if (spec.tile_height) xml += field("uiTileHeight", "lx_uint32", *spec.tile_height);
  xml += "<wsDescription runtype=\"CLxStringW\" value=\"synthetic &amp; small\"/></no_name></variant>";
  return {xml.begin(), xml.end()};
}

inline BuiltNd2 BuildNd2(const Nd2Spec& spec) {
  BuiltNd2 built;
  SparseFile& file = built.file;
  std::vector<std::pair<std::string, uint64_t>> entries;
  auto add = [&](const std::string& name, uint32_t name_length, const std::vector<uint8_t>& data) {
    file.PadTo(spec.alignment);
    const uint64_t offset = file.Append(Nd2Chunk(name, name_length, data));
    entries.emplace_back(name, offset);
    return offset;
  };

  Bytes version;
  version.Text(spec.version).ZeroPadTo(64);
  file.Append(Nd2Chunk("ND2 FILE SIGNATURE CHUNK NAME01!", 32, version.data));
  entries.clear();

  const std::string attributes_name = spec.xml_attributes ? "ImageAttributes!" : "ImageAttributesLV!";
  const auto attributes = spec.xml_attributes ? Nd2XmlAttributes(spec) : Nd2LvAttributes(spec);
  built.attributes = add(attributes_name, static_cast<uint32_t>(attributes_name.size() + 3), attributes);
  add("ImageTextInfoLV!", 20, Pattern(100, 9));

  if (spec.frame_base != 0) file.size = std::max(file.size, spec.frame_base);
  const uint64_t plane = uint64_t{spec.width_bytes} * spec.height;
  for (uint64_t i = 0; i < spec.frames; ++i) {
    const std::string name =
        i < spec.frame_names.size() ? spec.frame_names[i] : "ImageDataSeq|" + std::to_string(i) + "!";
    Bytes data;
    data.Le(uint64_t{0x407BD147AE147AE1}).Raw(Pattern(plane, static_cast<uint8_t>(i))).Zeros(spec.frame_extra);
    const uint64_t offset = add(name, spec.image_name_length, data.data);
    built.frame_chunks.push_back(offset);
    built.pixels.push_back(offset + 16 + spec.image_name_length + 8);
  }

  file.PadTo(spec.alignment);
  built.map = file.size;
  const std::string signature = "ND2 CHUNK MAP SIGNATURE 0000001!";
  Bytes map;
  // The writer lists entries in descending name order.
  std::sort(entries.rbegin(), entries.rend());
  for (const auto& [name, offset] : entries) map.Text(name).Le(offset).Le(uint64_t{0});
  map.Text(signature).Le(built.map).Zeros(8).Text(signature).Le(built.map);
  file.Append(Nd2Chunk("ND2 FILEMAP SIGNATURE NAME 0001!", 32, map.data));
  return built;
}

}  // namespace tarn::test
