#include "tarn/file/metadata/readers/tiff/log_handlers.hpp"

#include <cstdio>

namespace tarn::metadata {

void TiffLogHandler(const char* /*prefix*/, const char* /*module*/, const char* format, va_list arguments) {
  char message[256];
  std::vsnprintf(message, sizeof(message), format, arguments);
}

void ErrorsHandler(const char* module, const char* format, va_list arguments) {
  TiffLogHandler("TIFF error", module, format, arguments);
}

void WarningsHandler(const char* module, const char* format, va_list arguments) {
  TiffLogHandler("TIFF warning", module, format, arguments);
}

}  // namespace tarn::metadata
