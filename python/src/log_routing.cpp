// The library's log carried to Python's `logging` (logger "tarn") instead of standard output.
// Library threads never wait for the GIL: a message is queued, and handed to Python either by
// the thread that returns from a library call (so it is logged before the call's result or
// exception is seen) or by a daemon thread that waits for messages without the GIL.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include <spdlog/sinks/base_sink.h>

#include "bindings.hpp"
#include "tarn/logger_sinks.hpp"

namespace tarn_python {
namespace {

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::pair<int, std::string>> messages;
  bool stopped = false;
};

Queue& Messages() {
  static Queue* queue = new Queue;  // never destroyed: library threads may log during exit
  return *queue;
}

class QueueSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    Queue& queue = Messages();
    {
      const std::lock_guard<std::mutex> lock(queue.mutex);
      queue.messages.emplace_back(static_cast<int>(message.level),
                                  std::string(message.payload.data(), message.payload.size()));
    }
    queue.ready.notify_one();
  }
  void flush_() override {}
};

// What Python calls with (level 0-5 as the library numbers them, text); held with the GIL.
py::object* emitter = nullptr;

}  // namespace

void FlushLog() {
  if (emitter == nullptr) return;
  Queue& queue = Messages();
  for (;;) {
    std::pair<int, std::string> message;
    {
      const std::lock_guard<std::mutex> lock(queue.mutex);
      if (queue.messages.empty()) return;
      message = std::move(queue.messages.front());
      queue.messages.pop_front();
    }
    // The library writes UTF-8, but paths in its messages may hold any bytes.
    auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.second.data(), static_cast<Py_ssize_t>(message.second.size()), "replace"));
    try {
      if (!text) throw py::error_already_set();
      (*emitter)(message.first, text);
    } catch (py::error_already_set& failure) {
      // A failing handler must not turn into the failure of the library call that logged.
      failure.discard_as_unraisable("tarn: logging a library message");
    }
  }
}

void DefineLogRouting(py::module_& module) {
  module.def(
      "route_log",
      [](py::object emit) {
        if (emitter == nullptr) emitter = new py::object;  // kept past the interpreter's module teardown
        *emitter = std::move(emit);
        {
          const std::lock_guard<std::mutex> lock(Messages().mutex);
          Messages().stopped = false;
        }
        tarn::ReplaceConsoleSink(std::make_shared<QueueSink>());
      },
      py::arg("emit"));
  module.def("unroute_log", [] {
    tarn::ReplaceConsoleSink(nullptr);
    FlushLog();
    {
      const std::lock_guard<std::mutex> lock(Messages().mutex);
      Messages().stopped = true;
    }
    Messages().ready.notify_all();
  });
  // Waits without the GIL until messages are queued (then logs them and returns True) or the
  // routing stops (False).
  module.def("wait_for_log", [] {
    {
      py::gil_scoped_release unlocked;
      Queue& queue = Messages();
      std::unique_lock<std::mutex> lock(queue.mutex);
      queue.ready.wait(lock, [&] { return queue.stopped || !queue.messages.empty(); });
      if (queue.stopped && queue.messages.empty()) return false;
    }
    FlushLog();
    return true;
  });
  module.def("flush_log", [] { FlushLog(); });
}

}  // namespace tarn_python
