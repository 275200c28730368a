// Streams written by earlier encoders (tests/nivra/vectors) must decode to the
// same pixels forever: stored files depend on it.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "nivra/nivra.h"
#include "nivra/nivra.hpp"

namespace {

struct Vector {
  std::string file;
  int32_t width = 0, height = 0;
  uint64_t checksum = 0;
};

std::vector<Vector> ReadExpected() {
  std::ifstream in(std::filesystem::path(NIVRA_VECTORS_DIR) / "expected.txt");
  std::vector<Vector> vectors;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Vector v;
    fields >> v.file >> v.width >> v.height >> std::hex >> v.checksum;
    vectors.push_back(v);
  }
  return vectors;
}

std::vector<uint8_t> ReadBytes(const std::string& file) {
  std::ifstream in(std::filesystem::path(NIVRA_VECTORS_DIR) / file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(StreamVectors, EveryEarlierVersionDecodesToItsPixels) {
  auto vectors = ReadExpected();
  ASSERT_GE(vectors.size(), 7u);
  for (const Vector& v : vectors) {
    std::vector<uint8_t> stream = ReadBytes(v.file);
    ASSERT_FALSE(stream.empty()) << v.file;
    std::vector<uint16_t> pixels(std::size_t(v.width) * v.height);
    const auto count = static_cast<int32_t>(pixels.size());
    ASSERT_EQ(nivra_decode(stream.data(), static_cast<int32_t>(stream.size()), pixels.data(), count), BM_OK) << v.file;
    EXPECT_EQ(XXH3_64bits(pixels.data(), pixels.size() * 2), v.checksum) << v.file;
    // Cut short anywhere, a stream is refused.
    for (std::size_t n = 1; n < stream.size(); n += 1 + n / 16) {
      EXPECT_EQ(nivra_decode(stream.data(), static_cast<int32_t>(n), pixels.data(), count), BM_INVALID_FILE_CONTENT)
          << v.file << " cut to " << n;
    }
  }
}

// Asked for version 2 (readers of the older container know no later stream), the encoder
// writes exactly what the version 2 encoder wrote: its vectors, re-encoded from their pixels.
TEST(StreamVectors, Version2OptionWritesTheVersion2EncodersBytes) {
  std::size_t checked = 0;
  for (const Vector& v : ReadExpected()) {
    if (v.file.rfind("v2-", 0) != 0) continue;
    std::vector<uint8_t> stored = ReadBytes(v.file);
    std::vector<uint16_t> pixels(std::size_t(v.width) * v.height);
    ASSERT_EQ(nivra_decode(stored.data(), static_cast<int32_t>(stored.size()), pixels.data(),
                           static_cast<int32_t>(pixels.size())),
              BM_OK)
        << v.file;
    std::vector<uint8_t> coded(pixels.size() * 3 + 4096);
    auto length = static_cast<int32_t>(coded.size());
    Brimlake::Nivra::EncodeOptions options;
    options.stream_version = 2;
    ASSERT_EQ(Brimlake::Nivra::encode(pixels.data(), v.width, v.height, coded.data(), &length, {}, options), BM_OK);
    coded.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(coded, stored) << v.file;
    ++checked;
  }
  EXPECT_GE(checked, 8u);
}
