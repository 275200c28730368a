// Adding sinks to the library logger (used by the C interface and by tests).
#pragma once

#include <memory>

#include <spdlog/sinks/sink.h>

namespace tarn {

// Appends a sink behind the console sink; safe while other threads log.
void AddLogSink(std::shared_ptr<spdlog::sinks::sink> sink);

}  // namespace tarn
