#include "tarn/file/metadata/readers/nd2_reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "tarn/file/metadata/readers/nd2_attributes.hpp"
#include "tarn/logger.hpp"

namespace tarn::metadata::nd2 {
namespace {

constexpr uint32_t kChunkMagic = 0x0ABECEDA;
constexpr uint64_t kChunkHeaderSize = 16;
constexpr uint64_t kSignatureChunkSize = 112;  // header, 32-byte name, 64-byte version text
constexpr uint64_t kMapTrailerSize = 40;       // map signature text and the map's position
constexpr std::string_view kFileSignature = "ND2 FILE SIGNATURE CHUNK NAME01!";
constexpr std::string_view kMapSignature = "ND2 CHUNK MAP SIGNATURE 0000001!";
constexpr std::string_view kFileMapName = "ND2 FILEMAP SIGNATURE NAME 0001!";
constexpr std::string_view kImagePrefix = "ImageDataSeq|";
constexpr std::string_view kAttributesLv = "ImageAttributesLV!";
constexpr std::string_view kAttributesXml = "ImageAttributes!";
// Each frame starts with an 8-byte time stamp before its pixels.
constexpr uint64_t kFramePrefixSize = 8;
// Bounds on what we load into memory; real maps and attributes are kilobytes.
constexpr uint64_t kMaxMapBytes = uint64_t{256} << 20;
constexpr uint64_t kMaxAttributeBytes = uint64_t{16} << 20;
// Image chunks measure their planes in 32 bits.
constexpr uint64_t kMaxPlaneBytes = (uint64_t{1} << 32) - 1;

// Why a file is refused; turned into NotCompatible at the boundary.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& why) { throw Refusal(why); }

std::string_view AsText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

struct ChunkHeader {
  uint64_t offset = 0;
  uint32_t name_length = 0;
  uint64_t data_length = 0;

  uint64_t NameOffset() const { return offset + kChunkHeaderSize; }
  uint64_t DataOffset() const { return NameOffset() + name_length; }
};

// The header at `offset`, checked to describe a chunk that ends inside the file.
ChunkHeader ReadChunkHeader(ByteSource& source, uint64_t offset) {
  if (!RangeFits(offset, kChunkHeaderSize, source.Size())) {
    Refuse("chunk header at " + std::to_string(offset) + " lies outside the file");
  }
  std::array<uint8_t, kChunkHeaderSize> bytes{};
  source.ReadAt(offset, bytes);
  if (LoadLittleEndian<uint32_t>(&bytes[0]) != kChunkMagic) {
    Refuse("no chunk signature at " + std::to_string(offset));
  }
  ChunkHeader header{offset, LoadLittleEndian<uint32_t>(&bytes[4]), LoadLittleEndian<uint64_t>(&bytes[8])};
  if (!RangeFits(header.DataOffset(), header.data_length, source.Size())) {
    Refuse("chunk at " + std::to_string(offset) + " runs past the end of the file");
  }
  return header;
}

void CheckSignatureChunk(ByteSource& source) {
  if (source.Size() < kSignatureChunkSize + kMapTrailerSize) Refuse("file too short");
  const auto bytes = source.ReadAt(0, kSignatureChunkSize);
  static constexpr std::array<uint8_t, 8> kJpeg2000{0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
  if (std::equal(kJpeg2000.begin(), kJpeg2000.end(), bytes.begin())) {
    Refuse("legacy JPEG 2000 ND2 file");
  }
  const ChunkHeader header = ReadChunkHeader(source, 0);
  if (header.name_length != kFileSignature.size() || header.data_length != 64 ||
      AsText(std::span(bytes).subspan(16, 32)) != kFileSignature) {
    Refuse("no ND2 signature chunk");
  }
  const std::string_view version = AsText(std::span(bytes).subspan(48, 6));
  if (version.substr(0, 3) != "Ver" || version[4] != '.' || !(version[3] == '2' || version[3] == '3') ||
      version[5] < '0' || version[5] > '9') {
    Refuse("unsupported version text '" + std::string(version) + "'");
  }
}

// Chunk names and positions from the map at the end of the file.
std::map<std::string, uint64_t, std::less<>> ReadChunkMap(ByteSource& source) {
  const auto trailer = source.ReadAt(source.Size() - kMapTrailerSize, kMapTrailerSize);
  if (AsText(std::span(trailer).first(kMapSignature.size())) != kMapSignature) {
    Refuse("no chunk map signature at the end of the file");
  }
  const ChunkHeader map = ReadChunkHeader(source, LoadLittleEndian<uint64_t>(&trailer[32]));
  if (map.name_length < kFileMapName.size() ||
      AsText(source.ReadAt(map.NameOffset(), kFileMapName.size())) != kFileMapName) {
    Refuse("chunk map position does not hold the chunk map");
  }
  if (map.data_length > kMaxMapBytes) Refuse("chunk map too large");
  const auto data = source.ReadAt(map.DataOffset(), map.data_length);

  // Entries: a name ending in '!', then its chunk's position and size (unused:
  // the chunk header is authoritative), up to an entry named like the trailer.
  std::map<std::string, uint64_t, std::less<>> chunks;
  const std::string_view text = AsText(data);
  uint64_t position = 0;
  for (;;) {
    const size_t bang = text.find('!', position);
    if (bang == std::string_view::npos || !RangeFits(bang + 1, 16, text.size())) {
      Refuse("chunk map ends without its closing entry");
    }
    const std::string_view name = text.substr(position, bang + 1 - position);
    if (name == kMapSignature) break;
    const uint64_t offset = LoadLittleEndian<uint64_t>(&data[bang + 1]);
    if (!chunks.emplace(name, offset).second) Refuse("chunk '" + std::string(name) + "' listed twice");
    position = bang + 1 + 16;
  }
  return chunks;
}

// The frame number of an image chunk name, or nothing for other chunks.
std::optional<uint64_t> FrameIndex(std::string_view name) {
  if (!name.starts_with(kImagePrefix)) return std::nullopt;
  const std::string_view digits = name.substr(kImagePrefix.size(), name.size() - kImagePrefix.size() - 1);
  uint64_t index = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    Refuse("image chunk with an unreadable name '" + std::string(name) + "'");
  }
  return index;
}

int64_t Required(const Field& field, const char* name) {
  if (field.conflicting) Refuse(std::string(name) + " is stored ambiguously");
  if (!field.value) Refuse(std::string(name) + " is missing");
  return *field.value;
}

// A tile size is harmless when absent, non-positive or the whole image.
void CheckUntiled(const Field& tile, const char* name, int64_t image_size) {
  if (tile.conflicting) Refuse(std::string(name) + " is stored ambiguously");
  if (tile.value && *tile.value > 0 && *tile.value != image_size) Refuse("tiled frames are not supported");
}

Frame FrameGeometry(const Attributes& attributes) {
  const int64_t width = Required(attributes.width, "uiWidth");
  const int64_t height = Required(attributes.height, "uiHeight");
  const int64_t width_bytes = Required(attributes.width_bytes, "uiWidthBytes");
  const int64_t components = Required(attributes.components, "uiComp");
  const int64_t bits = Required(attributes.bits_per_component, "uiBpcInMemory");
  if (attributes.compression.conflicting) Refuse("eCompression is stored ambiguously");
  if (attributes.compression.value && *attributes.compression.value != 2) {
    Refuse("frames are compressed (eCompression " + std::to_string(*attributes.compression.value) + ")");
  }
  if (bits != 8 && bits != 16) Refuse(std::to_string(bits) + " bits per component");
  constexpr int64_t kMax32 = 0xFFFFFFFF;
  if (width < 1 || width > kMax32 || height < 1 || height > kMax32 || width_bytes < 1 || width_bytes > kMax32 ||
      components < 1 || components > 0xFFFF) {
    Refuse("image dimensions out of range");
  }
  CheckUntiled(attributes.tile_width, "uiTileWidth", width);
  CheckUntiled(attributes.tile_height, "uiTileHeight", height);

  Frame frame;
  frame.width = static_cast<uint32_t>(width);
  frame.height = static_cast<uint32_t>(height);
  frame.width_bytes = static_cast<uint32_t>(width_bytes);
  frame.components = static_cast<uint16_t>(components);
  frame.bytes_per_component = static_cast<uint16_t>(bits / 8);
  // Each factor is below 2^32, 2^16 and 2: no overflow in 64 bits.
  if (uint64_t{frame.width} * frame.components * frame.bytes_per_component > frame.width_bytes) {
    Refuse("uiWidthBytes is smaller than a row of pixels");
  }
  frame.length = uint64_t{frame.width_bytes} * frame.height;
  if (frame.length > kMaxPlaneBytes) Refuse("frames of 4 GiB or more are not supported");
  return frame;
}

Attributes ReadAttributes(ByteSource& source, const std::map<std::string, uint64_t, std::less<>>& chunks) {
  auto found = chunks.find(kAttributesLv);
  if (found == chunks.end()) found = chunks.find(kAttributesXml);
  if (found == chunks.end()) Refuse("no image attributes");
  const ChunkHeader header = ReadChunkHeader(source, found->second);
  if (header.data_length > kMaxAttributeBytes) Refuse("image attributes too large");
  const auto data = source.ReadAt(header.DataOffset(), header.data_length);
  return DecodeAttributes(data);
}

std::vector<Frame> FindFramesOrRefuse(ByteSource& source) {
  CheckSignatureChunk(source);
  const auto chunks = ReadChunkMap(source);
  const Frame geometry = FrameGeometry(ReadAttributes(source, chunks));

  std::vector<Frame> frames;
  std::set<uint64_t> indices;
  for (const auto& [name, offset] : chunks) {
    const ChunkHeader header = ReadChunkHeader(source, offset);
    // A name that disagrees with the map means the map points somewhere else.
    if (header.name_length < name.size() || AsText(source.ReadAt(header.NameOffset(), name.size())) != name) {
      Refuse("chunk at " + std::to_string(offset) + " is not '" + name + "'");
    }
    const std::optional<uint64_t> index = FrameIndex(name);
    if (!index) continue;
    if (!indices.insert(*index).second) Refuse("frame " + std::to_string(*index) + " listed twice");
    if (header.data_length < kFramePrefixSize || header.data_length - kFramePrefixSize < geometry.length) {
      Refuse("frame " + std::to_string(*index) + " holds fewer bytes than its attributes describe");
    }
    Frame frame = geometry;
    frame.index = *index;
    frame.offset = header.DataOffset() + kFramePrefixSize;
    frames.push_back(frame);
  }
  if (frames.empty()) Refuse("no image chunks");
  std::sort(frames.begin(), frames.end(), [](const Frame& a, const Frame& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i - 1].offset + frames[i - 1].length > frames[i].offset) Refuse("image chunks overlap");
  }
  return frames;
}

}  // namespace

std::vector<Frame> FindFrames(ByteSource& source) {
  try {
    return FindFramesOrRefuse(source);
  } catch (const std::exception& error) {
    // Damage of any kind (refusals, reads past the end, undecodable attributes)
    // means the file is kept as it is.
    Logger()->info("ND2 file is not Nivra compatible: {}", error.what());
    throw NotCompatible();
  }
}

}  // namespace tarn::metadata::nd2
