// Names of the colour-filter enumeration, as written in calibration files and metadata.
#include <array>
#include <utility>

#include "nivra/nivra.hpp"

namespace Brimlake::Nivra {
namespace {

constexpr std::array<std::pair<ColorFilterArray, const char*>, 5> kNames = {{
    {ColorFilterArray::kMono, "kMono"},
    {ColorFilterArray::kBayerRG, "kBayerRG"},
    {ColorFilterArray::kBayerGR, "kBayerGR"},
    {ColorFilterArray::kBayerBG, "kBayerBG"},
    {ColorFilterArray::kBayerGB, "kBayerGB"},
}};

}  // namespace

const char* ColorFilterArrayName(ColorFilterArray cfa) {
  for (const auto& [value, name] : kNames) {
    if (value == cfa) return name;
  }
  return "";
}

std::optional<ColorFilterArray> ColorFilterArrayFromName(std::string_view name) {
  for (const auto& [value, text] : kNames) {
    if (name == text) return value;
  }
  return std::nullopt;
}

}  // namespace Brimlake::Nivra
