#include "error.hpp"

#include <cstring>

namespace caddistransfer {

std::string SystemErrorText(const std::string& what, int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return what + ": " + text;
}

}  // namespace caddistransfer
