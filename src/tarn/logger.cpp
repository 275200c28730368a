// The process-wide logger "tarn": console output plus log files added at run time.
#include "tarn/logger.hpp"

#include <mutex>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "tarn/logger_sinks.hpp"

namespace tarn {
namespace {

struct LoggerState {
  // One distributing sink carries every real sink; it has its own mutex, so adding a
  // file sink while other threads log is safe (the logger's own sink list never changes).
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks = std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::shared_ptr<spdlog::logger> logger;
  std::shared_ptr<spdlog::sinks::sink> console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
  std::shared_ptr<spdlog::sinks::sink> console_in_use = console;

  LoggerState() {
    // Colour only when standard output is a terminal (the sink's automatic mode).
    sinks->add_sink(console);
    logger = std::make_shared<spdlog::logger>("tarn", sinks);
    logger->set_level(spdlog::level::info);
    // Warnings and errors reach the log files at once, so the last lines survive a
    // crash of the host process.
    logger->flush_on(spdlog::level::warn);
  }
};

LoggerState& State() {
  // Built on first use, so code running at load time can log too.
  static LoggerState state;
  return state;
}

}  // namespace

std::shared_ptr<spdlog::logger> Logger() { return State().logger; }

void AddLogSink(std::shared_ptr<spdlog::sinks::sink> sink) { State().sinks->add_sink(std::move(sink)); }

void ReplaceConsoleSink(std::shared_ptr<spdlog::sinks::sink> sink) {
  static std::mutex replacing;
  const std::lock_guard<std::mutex> lock(replacing);
  LoggerState& state = State();
  if (!sink) sink = state.console;
  if (sink == state.console_in_use) return;
  state.sinks->add_sink(sink);
  state.sinks->remove_sink(state.console_in_use);
  state.console_in_use = std::move(sink);
}

}  // namespace tarn
