// Adding sinks to the library logger (used by the C interface and by tests).
#pragma once

#include <memory>

#include <spdlog/sinks/sink.h>

namespace tarn {

// Appends a sink behind the console sink; safe while other threads log.
void AddLogSink(std::shared_ptr<spdlog::sinks::sink> sink);

// Puts `sink` where the console (standard output) sink was, for hosts that carry the log
// elsewhere (the Python package hands it to Python's logging); null puts the console back.
// Safe while other threads log.
void ReplaceConsoleSink(std::shared_ptr<spdlog::sinks::sink> sink);

}  // namespace tarn
