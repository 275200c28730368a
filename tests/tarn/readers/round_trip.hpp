// Compresses a source through the C interface, restores it, and reports what
// the compressed file holds, for the ND2 and CZI end-to-end tests.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tarn/file/metadata/chunk/image.hpp"
#include "tarn/file/metadata/chunk/interleaved_image.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/tarn.h"
#include "test_util.hpp"

namespace tarn::test {

struct RoundTripResult {
  bool identical = false;
  size_t images = 0;              // image chunks in the compressed file
  size_t images_not_coded = 0;    // of those, stored neither as Nivra nor as Zstd
};

inline RoundTripResult CompressAndRestore(const std::filesystem::path& source) {
  TempDir folder;
  const auto compressed = folder / "packed.nivra";
  const auto restored = folder / ("restored" + source.extension().string());
  RoundTripResult result;
  EXPECT_EQ(TarnCompressFile(source.c_str(), compressed.c_str(), nullptr), kTarnStatusOk);
  EXPECT_EQ(TarnDecompressFile(compressed.c_str(), restored.c_str(), nullptr), kTarnStatusOk);
  result.identical = std::filesystem::exists(restored) && ReadFile(restored) == ReadFile(source);
  const auto metadata = Metadata::DeserializeFromFile(compressed);
  for (const auto& chunk : metadata.chunks) {
    if (!dynamic_cast<const chunk::Image*>(chunk.get()) && !dynamic_cast<const chunk::InterleavedImage*>(chunk.get())) {
      continue;
    }
    ++result.images;
    if (chunk->codec != Codec::Nivra && chunk->codec != Codec::Zstd) ++result.images_not_coded;
  }
  return result;
}

}  // namespace tarn::test
