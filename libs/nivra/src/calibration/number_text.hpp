// Numbers in messages, without a formatting library.
#pragma once

#include <cstdio>
#include <string>

namespace Brimlake::Nivra::calibration {

// `value` with `significant` significant digits (%g).
inline std::string Num(double value, int significant = 4) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", significant, value);
  return text;
}

}  // namespace Brimlake::Nivra::calibration
