// The metadata JSON of every version, fed as text, and a block rebuilt from what parses.
#include <cstdint>
#include <sstream>
#include <string_view>

#include "tarn/file/metadata/footer.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"
#include "tarn/util/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (TarnSetLogLevel(6), true);
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const tarn::Metadata metadata = tarn::Metadata::FromJson(tarn::FromJsonString(text));
    (void)metadata.DecodedLength();
    (void)metadata.ToJson();
  } catch (const std::exception&) {
  }
  // The same text as the block of a file whose chunk data is empty.
  std::ostringstream file;
  file << text;
  tarn::metadata::Footer{4, size}.WriteTo(file);
  std::istringstream in(file.str());
  try {
    (void)tarn::Metadata::DeserializeFromStream(in);
  } catch (const std::exception&) {
  }
  return 0;
}
