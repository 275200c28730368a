// Collects what the library logs, so tests can check its messages.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "tarn/logger_sinks.hpp"

namespace tarn::test {

class LogRecorder {
 public:
  LogRecorder() { Sink().Clear(); }

  // Messages logged since this object was made, as "level: text".
  std::vector<std::string> Messages() const { return Sink().Messages(); }
  size_t Count(const std::string& text) const {
    const auto messages = Messages();
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
      return message.find(text) != std::string::npos;
    }));
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }

 private:
  class MemorySink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    void Clear() {
      std::lock_guard lock(mutex_);
      messages_.clear();
    }
    std::vector<std::string> Messages() {
      std::lock_guard lock(mutex_);
      return messages_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
      messages_.push_back(std::string(spdlog::level::to_string_view(message.level).data()) + ": " +
                          std::string(message.payload.data(), message.payload.size()));
    }
    void flush_() override {}

   private:
    std::vector<std::string> messages_;
  };

  // One sink for the whole test program: the logger keeps every sink it is given.
  static MemorySink& Sink() {
    static const std::shared_ptr<MemorySink> sink = [] {
      auto made = std::make_shared<MemorySink>();
      AddLogSink(made);
      return made;
    }();
    return *sink;
  }
};

}  // namespace tarn::test
