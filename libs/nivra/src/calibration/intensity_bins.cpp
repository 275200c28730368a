#include "calibration/intensity_bins.hpp"

#include <algorithm>
#include <cmath>

namespace Brimlake::Nivra::calibration {
namespace {
constexpr std::size_t kSlots = std::size_t{65536} * 4;
}

IntensityBins::IntensityBins() : histogram_(kSlots, 0) {}

std::size_t IntensityBins::Slot(double mean) {
  const double slot = std::floor(mean * 4);
  return static_cast<std::size_t>(std::clamp(slot, 0.0, static_cast<double>(kSlots - 1)));
}

void IntensityBins::Count(double mean) {
  ++histogram_[Slot(mean)];
  ++counted_;
}

void IntensityBins::Cut(std::size_t bins) {
  bins = std::max<std::size_t>(bins, 1);
  bin_of_slot_.assign(kSlots, 0);
  const double per_bin = static_cast<double>(counted_) / static_cast<double>(bins);
  uint64_t in_bin = 0;
  uint32_t bin = 0;
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    bin_of_slot_[slot] = bin;
    in_bin += histogram_[slot];
    if (static_cast<double>(in_bin) >= per_bin && bin + 1 < bins) {
      ++bin;
      in_bin = 0;
    }
  }
  bin_count_ = bin + 1;
}

}  // namespace Brimlake::Nivra::calibration
