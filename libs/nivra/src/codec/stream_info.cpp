// The fixed start of a stream (README › Bit stream): signature, version, mode, layout byte,
// width and height. Callers use it to label chunks (lossless or prepared) without decoding.
#include "codec/bit_io.hpp"
#include "codec/format.hpp"
#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {

std::optional<StreamInfo> read_stream_info(const uint8_t* data, std::size_t size) {
  if (data == nullptr) return std::nullopt;
  codec::ByteReader in(data, size);
  if (in.Byte() != codec::kMagic0 || in.Byte() != codec::kMagic1) return std::nullopt;
  const uint8_t version = in.Byte();
  const uint8_t mode = in.Byte();
  in.Byte();  // layout byte
  const uint64_t width = in.Varint(32);
  const uint64_t height = in.Varint(32);
  if (!in.ok()) return std::nullopt;
  if (version < codec::kVersion1 || version > codec::kVersion3) return std::nullopt;
  if (mode != codec::kModeLossless && mode != codec::kModePrepared) return std::nullopt;
  if (width == 0 || height == 0 || width * height > (uint64_t{1} << 31) - 1) return std::nullopt;
  return StreamInfo{version, mode == codec::kModePrepared, static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

}  // namespace Brimlake::Nivra
