// Input: one byte choosing the metadata version, then a chunk's JSON text.
// Whatever the JSON says, building the chunk either fails with a standard
// exception or gives a chunk whose JSON reads back as the same chunk, and
// decoding bytes that claim to be its data never crashes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include <json/reader.h>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "tarn/logger.hpp"

namespace {

constexpr uint64_t kMaxDecodedBytes = 1 << 22;

void CheckDecode(const tarn::Chunk& chunk, const std::string& payload) {
  if (chunk.length > (1 << 20) || chunk.DecodedLength() > kMaxDecodedBytes || payload.empty()) return;
  std::string data;
  while (data.size() < chunk.length) data += payload;
  data.resize(chunk.length);
  std::istringstream in(data);
  std::ostringstream out;
  try {
    const auto written = chunk.DecodeStream(in, out);
    if (written->length != out.str().size()) std::abort();
  } catch (const std::exception&) {
    // Damaged data must be refused, not crash.
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refusals log warnings; printing them would slow every run down.
  tarn::Logger()->set_level(spdlog::level::off);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int version = data[0] % 5;
  const char* text = reinterpret_cast<const char*>(data + 1);
  Json::Value json;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  try {
    // Deep nesting makes the reader throw rather than return false.
    if (!reader->parse(text, text + size - 1, &json, nullptr)) return 0;
  } catch (const std::exception&) {
    return 0;
  }

  std::unique_ptr<tarn::Chunk> chunk;
  try {
    chunk = tarn::Chunk::FromJson(json, version);
  } catch (const std::exception&) {
    return 0;
  }
  // What a chunk writes must read back as the same chunk (calibration is never written).
  const auto again = tarn::Chunk::FromJson(chunk->ToJson(), 4);
  if (again->ToJson() != chunk->ToJson()) std::abort();
  CheckDecode(*chunk, std::string(text, size - 1));
  return 0;
}
