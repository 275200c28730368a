// The end of a compressed file as it may arrive damaged or hostile: footer plus block.
// Every input must end in metadata or a standard exception, and valid metadata must
// survive writing and reading back.
#include <cstdint>
#include <sstream>
#include <string>

#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (TarnSetLogLevel(6), true);
  (void)quiet;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  in.exceptions(std::ios::badbit | std::ios::failbit);
  try {
    const tarn::Metadata metadata = tarn::Metadata::DeserializeFromStream(in);
    (void)metadata.DecodedLength();
    std::ostringstream out;
    tarn::Metadata::FromChunks(tarn::metadata::CloneChunks(metadata.chunks)).SerializeToStream(out);
  } catch (const std::exception&) {
  }
  return 0;
}
