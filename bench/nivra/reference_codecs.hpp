// The codecs Nivra is measured against, behind one small interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tiff_planes.hpp"

namespace nivra_bench {

using nivra_test::Image;

struct ReferenceCodec {
  std::string name;
  // Both return false on failure.
  bool (*encode)(const Image& image, int level, std::vector<uint8_t>& out);
  bool (*decode)(const std::vector<uint8_t>& in, const Image& image, std::vector<uint16_t>& out);
  int level;
};

std::vector<ReferenceCodec> ReferenceCodecs();

}  // namespace nivra_bench
