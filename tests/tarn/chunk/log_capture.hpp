// Collects what the library logs while a test runs.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "tarn/logger_sinks.hpp"

namespace tarn::test {

class LogCapture {
 public:
  LogCapture() { Sink()->Clear(); }

  std::vector<std::string> Messages() const { return Sink()->Messages(); }
  bool Contains(const std::string& text) const {
    const auto messages = Messages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& message) { return message.find(text) != std::string::npos; });
  }

 private:
  class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
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
      messages_.emplace_back(message.payload.data(), message.payload.size());
    }
    void flush_() override {}

   private:
    std::vector<std::string> messages_;
  };

  // One sink for the whole test program: the logger cannot drop sinks.
  static std::shared_ptr<RecordingSink> Sink() {
    static const std::shared_ptr<RecordingSink> sink = [] {
      auto created = std::make_shared<RecordingSink>();
      AddLogSink(created);
      return created;
    }();
    return sink;
  }
};

}  // namespace tarn::test
