// The library-wide logger "tarn" (standard output plus appended log files).
#pragma once

#include <memory>

#include <spdlog/spdlog.h>

namespace tarn {

// A shared handle to the process-wide logger.
std::shared_ptr<spdlog::logger> Logger();

}  // namespace tarn
