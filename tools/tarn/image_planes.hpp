// The 16-bit image planes a file holds, as Tarn's readers find them, in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "nivra/calibration.hpp"

namespace tarn::cli {

struct ImagePlane {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint16_t> pixels;  // width × height, host order
  // Planes with the same series key hold one field over time (one channel of one file).
  std::string series;
  // What the file says about the camera.
  std::optional<std::string> identifier;
  std::optional<float> black_level;
  std::optional<uint32_t> white_level;
  std::optional<Brimlake::Nivra::ColorFilterArray> cfa;

  Brimlake::Nivra::Calibration::Plane View() const { return {pixels.data(), width, height, 0}; }
};

struct FilePlanes {
  std::vector<ImagePlane> planes;
  std::size_t skipped = 0;  // image chunks that are not uncompressed 16-bit planes
  bool truncated = false;   // more planes followed than `max_pixels` allowed
};

// Planes in file order until they hold `max_pixels` pixels. Throws std::runtime_error
// when the file cannot be read.
FilePlanes ReadImagePlanes(const std::filesystem::path& path, std::size_t max_pixels = SIZE_MAX);

// Consecutive planes of one series become a stack while they show the same field: the
// difference of two frames of one field is noise, far smaller than the scene.
std::vector<Brimlake::Nivra::Calibration::Stack> GroupIntoStacks(const std::vector<ImagePlane>& planes);

}  // namespace tarn::cli
