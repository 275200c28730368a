#include "tarn/archive/archive.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <fstream>
#include <ostream>
#include <stdexcept>

#include <fmt/format.h>

#include "nivra/nivra.hpp"
#include "tarn/archive/plane_positions.hpp"
#include "tarn/archive/window_sink.hpp"
#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/codec/nivra.hpp"
#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"

namespace tarn::archive {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<const Metadata> ReadBlock(const fs::path& path) {
  std::error_code ignored;
  if (!fs::is_regular_file(path, ignored)) {
    throw Error(fmt::format("cannot open {}: no such file", path.string()), kTarnStatusCouldNotReadFile);
  }
  try {
    return std::make_shared<const Metadata>(Metadata::DeserializeFromFile(path));
  } catch (const Error&) {
    throw;
  } catch (const std::exception& error) {
    throw Error(fmt::format("file {} has no readable metadata block: {}", path.string(), error.what()),
                kTarnStatusInvalidFileContent);
  }
}

std::optional<PlaneInfo> PlaneOf(const Chunk& chunk) {
  PlaneInfo plane;
  plane.codec = chunk.codec;
  plane.stored_length = chunk.length;
  if (const auto* image = dynamic_cast<const chunk::InterleavedImage*>(&chunk)) {
    plane.width = image->width;
    plane.height = image->height;
    plane.channels = image->channels;
    plane.bytes_per_sample = image->bytes_per_pixel;
    plane.row_bytes = image->width_bytes;
    plane.endianness = image->endianness;
    return plane;
  }
  if (const auto* image = dynamic_cast<const chunk::Image*>(&chunk)) {
    plane.width = image->width;
    plane.height = image->height;
    plane.bytes_per_sample = image->bytes_per_pixel;
    plane.row_bytes = static_cast<uint32_t>(uint64_t{image->width} * image->bytes_per_pixel);
    plane.endianness = image->endianness;
    return plane;
  }
  return std::nullopt;
}

// A prepared image carries its calibration header in its leading pixels.
bool CarriesEmbeddedHeader(const PlaneInfo& plane, std::span<const uint8_t> bytes) {
  if (plane.bytes_per_sample != 2 || plane.channels != 1) return false;
  // The header sits in the first pixels; a few thousand are more than it takes.
  const size_t count = std::min<size_t>(bytes.size() / 2, 1u << 16);
  std::vector<uint16_t> pixels(count);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t low = bytes[2 * i], high = bytes[2 * i + 1];
    const bool big = plane.endianness == std::endian::big;
    const uint16_t value = big ? static_cast<uint16_t>(low << 8 | high) : static_cast<uint16_t>(high << 8 | low);
    pixels[i] = value;
  }
  try {
    return Brimlake::Nivra::EmbeddedHeader::Read(pixels) != nullptr;
  } catch (const std::exception&) {
    return true;  // a header that cannot be read is still a header: better marked lossy than not
  }
}

}  // namespace

Archive::Archive(fs::path path, std::shared_ptr<const Metadata> metadata)
    : path_(std::move(path)), metadata_(std::move(metadata)) {
  const Chunks& chunks = metadata_->chunks;
  source_offsets_.reserve(chunks.size() + 1);
  archive_offsets_.reserve(chunks.size() + 1);
  uint64_t source = 0, stored = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    source_offsets_.push_back(source);
    archive_offsets_.push_back(stored);
    if (auto plane = PlaneOf(*chunks[i])) {
      plane->chunk = i;
      plane->source_offset = source;
      plane->archive_offset = stored;
      planes_.push_back(*plane);
    }
    source += chunks[i]->DecodedLength();
    stored += chunks[i]->length;
  }
  source_offsets_.push_back(source);
  archive_offsets_.push_back(stored);
}

Archive Archive::Open(const fs::path& path) { return Archive(path, ReadBlock(path)); }

size_t Archive::ChunkAt(uint64_t offset) const {
  if (offset >= Size()) throw std::out_of_range(fmt::format("offset {} is past the end ({} bytes)", offset, Size()));
  const auto next = std::upper_bound(source_offsets_.begin(), source_offsets_.end(), offset);
  return static_cast<size_t>(next - source_offsets_.begin()) - 1;
}

// Decodes chunk `index` whole, keeping its decoded bytes [from, from + out.size()).
static void DecodeChunkWindow(const Archive& archive, size_t index, uint64_t from, std::span<uint8_t> out) {
  const Chunk& chunk = *archive.metadata().chunks[index];
  const uint64_t offset = archive.ArchiveOffset(index);
  const auto where = [&] { return fmt::format("{}: chunk {} at {}", archive.path().string(), index, offset); };
  std::ifstream in;
  in.exceptions(std::ios::badbit | std::ios::failbit);
  try {
    in.open(archive.path(), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
  } catch (const std::ios_base::failure&) {
    throw Error(fmt::format("cannot read {}", where()), kTarnStatusCouldNotReadFile);
  }
  WindowSink sink(from, out);
  std::ostream decoded(&sink);
  try {
    chunk.DecodeStream(in, decoded);
  } catch (const Error& error) {
    // The text already names the codec.
    throw Error(fmt::format("{}: {}", where(), error.what()), error.status());
  } catch (const Brimlake::Nivra::NivraError& error) {
    throw Error(fmt::format("{}: Nivra decoder error: {}", where(), error.what()), Error(error).status());
  } catch (const std::exception& error) {
    throw DecodeError(fmt::format("{}: {}", where(), error.what()), chunk.codec, kTarnStatusInvalidFileContent);
  }
  // A chunk copied instead of decoded (a codec without decoder) must still give its size.
  if (sink.Written() != chunk.DecodedLength()) {
    throw DecodeError(fmt::format("{}: decoded {} bytes but the metadata promises {}", where(), sink.Written(),
                                  chunk.DecodedLength()),
                      chunk.codec, kTarnStatusInvalidFileContent);
  }
}

// A Nivra plane decodes straight into its result, without the stream path's second
// plane-sized buffer: the same decoder and checks as a restore, half the memory.
static std::optional<std::vector<uint8_t>> DecodeNivraPlane(const Archive& archive, size_t index) {
  const Chunk& chunk = *archive.metadata().chunks[index];
  if (chunk.codec != Codec::Nivra) return std::nullopt;
  const auto* image = dynamic_cast<const chunk::Image*>(&chunk);
  if (image == nullptr) return std::nullopt;
  const uint64_t offset = archive.ArchiveOffset(index);
  const auto where = [&] { return fmt::format("{}: chunk {} at {}", archive.path().string(), index, offset); };
  std::vector<uint8_t> stored(chunk.length);
  std::ifstream in(archive.path(), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(stored.data()), static_cast<std::streamsize>(stored.size()));
  if (!in || static_cast<uint64_t>(in.gcount()) != stored.size()) {
    throw Error(fmt::format("cannot read {}", where()), kTarnStatusCouldNotReadFile);
  }
  std::vector<uint8_t> decoded(chunk.DecodedLength());
  try {
    codec::nivra::DecodeSpan(*image, stored, decoded);
  } catch (const Error& error) {
    throw Error(fmt::format("{}: {}", where(), error.what()), error.status());
  } catch (const Brimlake::Nivra::NivraError& error) {
    throw Error(fmt::format("{}: Nivra decoder error: {}", where(), error.what()), Error(error).status());
  } catch (const std::exception& error) {
    throw DecodeError(fmt::format("{}: {}", where(), error.what()), chunk.codec, kTarnStatusInvalidFileContent);
  }
  return decoded;
}

std::vector<uint8_t> Archive::DecodeChunk(size_t chunk) const {
  if (auto decoded = DecodeNivraPlane(*this, chunk)) return std::move(*decoded);
  std::vector<uint8_t> bytes(metadata_->chunks.at(chunk)->DecodedLength());
  DecodeChunkWindow(*this, chunk, 0, bytes);
  return bytes;
}

DecodedPlane Archive::DecodePlane(size_t index) const {
  const PlaneInfo& plane = planes_.at(index);
  DecodedPlane result;
  result.bytes = DecodeChunk(plane.chunk);
  const uint64_t row = uint64_t{plane.width} * plane.channels * plane.bytes_per_sample;
  if (row < plane.row_bytes) {
    // Rows of the source carry padding: close the gaps in place.
    for (uint64_t y = 1; y < plane.height; ++y) {
      std::memmove(result.bytes.data() + y * row, result.bytes.data() + y * plane.row_bytes, row);
    }
    result.bytes.resize(row * plane.height);
  }
  result.prepared = IsPrepared(index) || CarriesEmbeddedHeader(plane, result.bytes);
  return result;
}

bool Archive::IsPrepared(size_t index) const {
  const PlaneInfo& plane = planes_.at(index);
  if (plane.codec != Codec::Nivra) return false;
  std::array<uint8_t, 32> start{};
  const auto wanted = static_cast<std::streamsize>(std::min<uint64_t>(plane.stored_length, start.size()));
  std::ifstream in(path_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(plane.archive_offset));
  in.read(reinterpret_cast<char*>(start.data()), wanted);
  const auto info = Brimlake::Nivra::read_stream_info(start.data(), static_cast<size_t>(in.gcount()));
  return info && info->prepared;
}

void Archive::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return;
  if (offset > Size() || out.size() > Size() - offset) {
    throw std::out_of_range(
        fmt::format("range {}:{} is past the end of the original ({} bytes)", offset, out.size(), Size()));
  }
  uint64_t done = 0;
  for (size_t chunk = ChunkAt(offset); done < out.size(); ++chunk) {
    const uint64_t from = offset + done - source_offsets_[chunk];
    const uint64_t take = std::min<uint64_t>(source_offsets_[chunk + 1] - (offset + done), out.size() - done);
    DecodeChunkWindow(*this, chunk, from, out.subspan(done, take));
    done += take;
  }
}

std::vector<uint8_t> Archive::Read(uint64_t offset, uint64_t size) const {
  if (offset > Size() || size > Size() - offset) {
    throw std::out_of_range(
        fmt::format("range {}:{} is past the end of the original ({} bytes)", offset, size, Size()));
  }
  std::vector<uint8_t> bytes(size);
  Read(offset, bytes);
  return bytes;
}

std::vector<Position> Archive::Positions() const { return LocatePlanes(*this); }

}  // namespace tarn::archive
