#include "library_log.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include <fmt/format.h>
#include <spdlog/sinks/base_sink.h>

#include "tarn/logger.hpp"
#include "tarn/tarn.h"
#include "tarn/util/thread_pool.hpp"

namespace tarn::cli {
namespace {

class ConsoleSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  ConsoleSink(Console& console, bool silent) : console_(console), silent_(silent) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    std::string text(message.payload.data(), message.payload.size());
    // The library's own threads carry the file's scope along (the sink's lock orders the appends).
    if (auto* file_log = static_cast<FileLog*>(tarn::util::TaskContext())) {
      auto& list = message.level >= spdlog::level::err ? file_log->errors : file_log->notes;
      list.push_back(std::move(text));
      return;
    }
    if (silent_) return;
    console_.Err(message.level == spdlog::level::warn ? "tarn: warning: " + text : "tarn: " + text);
  }
  void flush_() override {}

 private:
  Console& console_;
  const bool silent_;
};

// TarnSetLogLevel's scale: 1 debug, 2 info, 3 warning, 4 error.
int LibraryLevel(int verbosity) {
  if (verbosity < 0) return 4;
  if (verbosity <= 1) return 3;  // -v shows the warnings gathered per file
  return verbosity == 2 ? 2 : 1;
}

}  // namespace

std::vector<std::string> FileLog::DistinctNotes() const {
  std::vector<std::string> order;
  std::map<std::string, size_t> counts;
  for (const std::string& note : notes) {
    if (counts[note]++ == 0) order.push_back(note);
  }
  for (std::string& note : order) {
    const size_t count = counts[note];
    if (count > 1) note += fmt::format(" ({} times)", count);
  }
  return order;
}

void RouteLibraryLog(Console& console, int verbosity) {
  // Errors are always gathered, even when nothing is printed: they are the reasons of failures.
  TarnSetLogLevel(LibraryLevel(verbosity));
  auto logger = tarn::Logger();
  logger->sinks().clear();
  logger->sinks().push_back(std::make_shared<ConsoleSink>(console, verbosity <= -2));
}

FileLogScope::FileLogScope(FileLog& log) : scope_(&log) {}

}  // namespace tarn::cli
