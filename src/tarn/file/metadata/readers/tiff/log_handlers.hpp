// libtiff message handlers: libtiff's own messages are formatted and dropped, because
// every failure that matters is reported through libtiff's return values.
#pragma once

#include <cstdarg>

namespace tarn::metadata {

void TiffLogHandler(const char* prefix, const char* module, const char* format, va_list arguments);
void ErrorsHandler(const char* module, const char* format, va_list arguments);
void WarningsHandler(const char* module, const char* format, va_list arguments);

}  // namespace tarn::metadata
