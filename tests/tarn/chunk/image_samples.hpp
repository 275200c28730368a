// Pixel data for the image chunk tests and a way to push chunks through streams.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarn/file/metadata/chunk/chunk.hpp"
#include "test_util.hpp"

namespace tarn::test {

// A smooth 12-bit scene with a little sensor noise: what the codec is made for.
inline std::vector<uint16_t> CameraPixels(size_t count, size_t width, uint32_t seed = 7) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> noise(-3, 3);
  std::vector<uint16_t> pixels(count);
  for (size_t i = 0; i < count; ++i) {
    const double x = static_cast<double>(i % width);
    const double y = static_cast<double>(i / width);
    const double scene = 1500 + 800 * std::sin(x / 23.0) * std::cos(y / 31.0);
    pixels[i] = static_cast<uint16_t>(scene + noise(generator));
  }
  return pixels;
}

// 16-bit values in the given byte order.
inline std::string PixelBytes(const std::vector<uint16_t>& pixels, std::endian order) {
  std::string bytes(pixels.size() * 2, '\0');
  for (size_t i = 0; i < pixels.size(); ++i) {
    const auto low = static_cast<char>(pixels[i] & 0xff);
    const auto high = static_cast<char>(pixels[i] >> 8);
    bytes[2 * i] = order == std::endian::little ? low : high;
    bytes[2 * i + 1] = order == std::endian::little ? high : low;
  }
  return bytes;
}

inline std::string CameraBytes(size_t pixel_count, size_t width, std::endian order = std::endian::little) {
  return PixelBytes(CameraPixels(pixel_count, width), order);
}

// What a chunk operation wrote, and the chunk that describes it.
struct Written {
  std::unique_ptr<Chunk> chunk;
  std::string bytes;
};

enum class Operation { kEncode, kDecode, kPrepare, kPrepareAndEncode };

// Runs one chunk operation over `bytes` and checks that the chunk describes the output.
inline Written Run(const Chunk& chunk, const std::string& bytes, Operation operation) {
  // Bytes after the chunk show whether it reads past its end.
  std::istringstream in(bytes + "#end");
  std::ostringstream out;
  std::unique_ptr<Chunk> result;
  switch (operation) {
    case Operation::kEncode: result = chunk.EncodeStream(in, out); break;
    case Operation::kDecode: result = chunk.DecodeStream(in, out); break;
    case Operation::kPrepare: result = chunk.PrepareStream(in, out); break;
    case Operation::kPrepareAndEncode: result = chunk.PrepareAndEncodeStream(in, out); break;
  }
  EXPECT_EQ(result->length, out.str().size());
  EXPECT_EQ(static_cast<uint64_t>(in.tellg()), chunk.length) << "the chunk must read exactly its bytes";
  return {std::move(result), out.str()};
}

inline Written Encode(const Chunk& chunk, const std::string& bytes) { return Run(chunk, bytes, Operation::kEncode); }
inline Written Decode(const Chunk& chunk, const std::string& bytes) { return Run(chunk, bytes, Operation::kDecode); }

}  // namespace tarn::test
