#include "units.hpp"

#include <cmath>
#include <iterator>

#include <fmt/format.h>

namespace tarn::cli {

std::string HumanSize(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  return unit == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", value, units[unit]);
}

std::string HumanDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "-";
  if (seconds < 60) return fmt::format("{:.1f} s", seconds);
  const auto whole = static_cast<uint64_t>(seconds + 0.5);
  if (whole < 3600) return fmt::format("{}:{:02}", whole / 60, whole % 60);
  return fmt::format("{}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
}

std::string Count(uint64_t count, const char* noun) { return fmt::format("{} {}{}", count, noun, count == 1 ? "" : "s"); }

}  // namespace tarn::cli
