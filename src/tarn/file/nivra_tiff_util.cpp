#include "tarn/file/nivra_tiff_util.hpp"

#include <array>
#include <ios>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "tarn/util/stream.hpp"

namespace tarn::metadata {
namespace {

constexpr uint16_t kImageWidth = 256;
constexpr uint16_t kImageLength = 257;
constexpr uint16_t kBitsPerSample = 258;
constexpr uint16_t kCompression = 259;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kSamplesPerPixel = 277;
constexpr uint16_t kStripByteCounts = 279;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;

[[noreturn]] void ThrowShortRead() {
  throw std::ios_base::failure("Failed to read from input stream in ReadUint", std::io_errc::stream);
}

// Reads exactly n bytes; a stream with exceptions enabled reports through the same message.
void ReadBytes(std::istream& in, uint8_t* bytes, std::size_t n) {
  try {
    in.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(n));
  } catch (const std::ios_base::failure&) {
    ThrowShortRead();
  }
  if (!in) ThrowShortRead();
}

uint64_t DecodeUint(const uint8_t* bytes, std::size_t size, std::endian endianness) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const uint8_t byte = endianness == std::endian::little ? bytes[i] : bytes[size - 1 - i];
    value |= uint64_t{byte} << (8 * i);
  }
  return value;
}

template <typename T>
void ReadUintAs(std::istream& in, T& value, std::endian endianness, std::size_t size) {
  if (size > sizeof(T)) throw std::logic_error("Size exceeds type width in ReadUint");
  std::array<uint8_t, 8> bytes{};
  ReadBytes(in, bytes.data(), size);
  value = static_cast<T>(DecodeUint(bytes.data(), size, endianness));
}

// Bytes of the value field that hold the entry's single value.
std::size_t ValueWidth(uint16_t type, std::size_t field_width) {
  if (type == kTypeShort) return 2;
  if (type == kTypeLong) return 4;
  return field_width;
}

void SeekIn(std::istream& in, uint64_t position) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(position));
  if (!in) ThrowShortRead();
}

void SeekOut(std::ostream& out, uint64_t position) {
  out.seekp(static_cast<std::streamoff>(position));
  if (!out) throw std::ios_base::failure("Failed to seek output stream while rewriting TIFF directories");
}

// Directories may list their entries in any order (libtiff reads them so): the size of
// each image is taken from the whole directory before any strip entry is rewritten.
void RecordDimensions(std::istream& in, uint64_t entries_start, uint64_t count, bool bigtiff,
                      std::endian endianness, TiffDimensions& dimensions) {
  const std::size_t f = bigtiff ? 8 : 4;
  const uint64_t e = bigtiff ? 20 : 12;
  for (uint64_t i = 0; i < count; ++i) {
    SeekIn(in, entries_start + i * e);
    uint16_t tag = 0;
    uint16_t type = 0;
    ReadUintAs(in, tag, endianness, 2);
    ReadUintAs(in, type, endianness, 2);
    if (tag != kImageWidth && tag != kImageLength && tag != kBitsPerSample) continue;
    in.ignore(static_cast<std::streamsize>(f));  // the count
    std::array<uint8_t, 8> field{};
    ReadBytes(in, field.data(), f);
    const uint64_t value = DecodeUint(field.data(), ValueWidth(type, f), endianness);
    if (tag == kImageWidth) dimensions.width = value;
    if (tag == kImageLength) dimensions.height = value;
    if (tag == kBitsPerSample) dimensions.bytes_per_sample = value / 8;
  }
}

}  // namespace

void ReadUint(std::istream& in, uint16_t& value, std::endian endianness, std::size_t size) {
  ReadUintAs(in, value, endianness, size);
}
void ReadUint(std::istream& in, uint32_t& value, std::endian endianness, std::size_t size) {
  ReadUintAs(in, value, endianness, size);
}
void ReadUint(std::istream& in, uint64_t& value, std::endian endianness, std::size_t size) {
  ReadUintAs(in, value, endianness, size);
}

void WriteUint(std::ostream& out, uint64_t value, std::endian endianness, std::size_t size) {
  if (size > 8) throw std::logic_error("Size exceeds type width in WriteUint");
  std::array<char, 8> bytes{};
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t at = endianness == std::endian::little ? i : size - 1 - i;
    bytes[at] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
  out.write(bytes.data(), static_cast<std::streamsize>(size));
}

TiffHeaderInfo ReadTiffHeaderInfo(std::istream& in) {
  SeekIn(in, 0);
  std::array<uint8_t, 2> order{};
  ReadBytes(in, order.data(), order.size());
  TiffHeaderInfo info;
  if (order[0] == 'I' && order[1] == 'I') {
    info.endianness = std::endian::little;
  } else if (order[0] == 'M' && order[1] == 'M') {
    info.endianness = std::endian::big;
  } else {
    throw std::runtime_error("Invalid TIFF endianness");
  }
  uint16_t version = 0;
  ReadUint(in, version, info.endianness, 2);
  if (version == 43) {
    in.ignore(4);
    ReadUint(in, info.first_ifd_offset, info.endianness, 8);
    info.bigtiff = true;
  } else if (version == 42) {
    ReadUint(in, info.first_ifd_offset, info.endianness, 4);
  } else {
    throw std::runtime_error("Unsupported TIFF version");
  }
  return info;
}

void CopyTiffHeader(std::istream& in, std::ostream& out, uint64_t n) {
  SeekIn(in, 0);
  util::StreamCopyN(in, n, out);
}

void ProcessTiffTag(std::istream& in, std::ostream& out, std::endian endianness, bool bigtiff, uint64_t ifd_index,
                    TiffRewriteState& state, TiffDirectoryLayout& layout) {
  const std::size_t f = bigtiff ? 8 : 4;
  uint16_t tag = 0;
  uint16_t type = 0;
  uint64_t count = 0;
  ReadUint(in, tag, endianness, 2);
  ReadUint(in, type, endianness, 2);
  ReadUint(in, count, endianness, f);
  std::array<uint8_t, 8> field{};
  ReadBytes(in, field.data(), f);
  const std::size_t width = ValueWidth(type, f);
  const uint64_t value = DecodeUint(field.data(), width, endianness);

  TiffDimensions& dimensions = state.dimensions[ifd_index];
  std::optional<uint64_t> rewritten;
  switch (tag) {
    case kImageWidth:
      dimensions.width = value;
      break;
    case kImageLength:
      dimensions.height = value;
      break;
    case kBitsPerSample:
      dimensions.bytes_per_sample = value / 8;
      layout.bits_per_sample_count = count;
      break;
    case kCompression:
      layout.compression = value;
      rewritten = 1;
      break;
    case kSamplesPerPixel:
      layout.samples_per_pixel = value;
      break;
    case kStripOffsets:
      layout.strip_offset = value;
      layout.strip_offsets_count = count;
      layout.strip_offsets_type = type;
      if (ifd_index == 0) {
        state.running_strip_offset = value + dimensions.RawSize();
      } else {
        rewritten = state.running_strip_offset;
        state.running_strip_offset += dimensions.RawSize();
      }
      break;
    case kStripByteCounts:
      layout.strip_byte_count = value;
      layout.strip_byte_counts_count = count;
      layout.strip_byte_counts_type = type;
      rewritten = dimensions.RawSize();
      break;
    default:
      break;
  }
  layout.dimensions = dimensions;

  WriteUint(out, tag, endianness, 2);
  WriteUint(out, type, endianness, 2);
  WriteUint(out, count, endianness, f);
  if (!rewritten) {
    out.write(reinterpret_cast<const char*>(field.data()), static_cast<std::streamsize>(f));
    return;
  }
  // Never truncate: a decoded offset or size that its field cannot hold would corrupt the file.
  if (width < 8 && (*rewritten >> (8 * width)) != 0) {
    throw std::runtime_error(fmt::format("TIFF tag {} of directory {} cannot hold the decoded value {} in {} bytes",
                                         tag, ifd_index, *rewritten, width));
  }
  WriteUint(out, *rewritten, endianness, width);
  WriteUint(out, 0, endianness, f - width);
}

std::vector<TiffDirectoryLayout> UpdateTiffMetadataForCompressedOutput(std::istream& in, std::ostream& out,
                                                                      uint64_t first_ifd_offset, bool bigtiff,
                                                                      const std::endian& endianness) {
  std::vector<TiffDirectoryLayout> layouts;
  if (first_ifd_offset == 0) return layouts;
  const uint64_t c = bigtiff ? 8 : 2;
  const uint64_t f = bigtiff ? 8 : 4;
  const uint64_t e = bigtiff ? 20 : 12;
  // The output may not start at offset 0 of its stream; keep positions relative to the source.
  const auto out_start = out.tellp();
  if (out_start < 0) throw std::ios_base::failure("Output stream has no position while rewriting TIFF directories");
  const uint64_t out_base = static_cast<uint64_t>(out_start) - first_ifd_offset;

  TiffRewriteState state;
  uint64_t ifd = first_ifd_offset;
  for (uint64_t k = 0;; ++k) {
    TiffDirectoryLayout layout;
    layout.ifd_offset = ifd;
    SeekIn(in, ifd);
    uint64_t n = 0;
    ReadUint(in, n, endianness, c);
    RecordDimensions(in, ifd + c, n, bigtiff, endianness, state.dimensions[k]);
    WriteUint(out, n, endianness, c);
    for (uint64_t i = 0; i < n; ++i) {
      SeekIn(in, ifd + c + i * e);
      ProcessTiffTag(in, out, endianness, bigtiff, k, state, layout);
    }
    const uint64_t next_field = ifd + c + n * e;
    SeekIn(in, next_field);
    uint64_t next = 0;
    ReadUint(in, next, endianness, f);
    SeekOut(out, out_base + next_field);
    WriteUint(out, next, endianness, f);
    const uint64_t end = next_field + f;
    layout.ifd_end = end;
    layouts.push_back(layout);
    if (next == 0) break;
    // Each directory must follow the previous one: this ends loops and never writes backwards.
    if (next < end) {
      throw std::runtime_error(fmt::format(
          "TIFF directory chain links back from the directory at offset {} to offset {}; the file cannot be rewritten",
          ifd, next));
    }
    if (next > end) {
      SeekIn(in, end);
      util::StreamCopyN(in, next - end, out);
    }
    ifd = next;
  }
  return layouts;
}

}  // namespace tarn::metadata
