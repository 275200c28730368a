#include "tarn/file/metadata/chunk/codec/codec.hpp"

namespace tarn {

std::string_view CodecName(Codec codec) {
  switch (codec) {
    case Codec::None: return "None";
    case Codec::Nivra: return "Nivra";
    case Codec::Zstd: return "Zstd";
    case Codec::Unknown: return "Unknown";
  }
  // Values read from a file may be anything.
  return "Invalid";
}

}  // namespace tarn
