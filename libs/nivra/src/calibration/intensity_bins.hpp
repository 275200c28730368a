// Equal-count intensity bins, cut from a histogram of means in quarter steps, and the
// sums of one bin's values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Brimlake::Nivra::calibration {

class IntensityBins {
 public:
  IntensityBins();
  // First pass: every mean that will be added later.
  void Count(double mean);
  std::size_t Counted() const { return counted_; }
  // Cuts about `bins` bins of equal count (fewer where one value holds many means).
  void Cut(std::size_t bins);
  std::size_t size() const { return bin_count_; }
  std::size_t Index(double mean) const { return bin_of_slot_[Slot(mean)]; }

 private:
  static std::size_t Slot(double mean);
  std::vector<uint64_t> histogram_;
  std::vector<uint32_t> bin_of_slot_;
  std::size_t counted_ = 0;
  std::size_t bin_count_ = 0;
};

// Sums of the values of one bin that were kept, and how many were left out as clipped.
struct BinSums {
  double count = 0;
  double sum_mean = 0;
  double sum = 0;
  double sum_squares = 0;
  double clipped = 0;

  void Add(double mean, double value) {
    count += 1;
    sum_mean += mean;
    sum += value;
    sum_squares += value * value;
  }
  double Mean() const { return count > 0 ? sum / count : 0; }
  // Variance about the bin's own mean (a drift or bleaching offset does not count).
  double Variance() const {
    return count > 1 ? std::max(0.0, (sum_squares - sum * sum / count) / (count - 1)) : 0;
  }
};

}  // namespace Brimlake::Nivra::calibration
