// One process-wide pool of worker threads shared by every file operation.
//
// With a thread count of 1 nothing is started and every call runs on the calling
// thread. Workers start on first use and stop when the library is unloaded.
#pragma once

#include <cstddef>
#include <functional>

namespace tarn::util {

// SetThreadCount's value, else the environment variable TARN_THREADS, else every
// hardware thread this process may run on. Always at least 1.
unsigned ThreadCount();
// 0 means every hardware thread.
void SetThreadCount(unsigned count);

// Runs task(0) .. task(count - 1) and returns when all have returned. The caller works
// too, so nested calls from inside a task never deadlock. Every task runs even when one
// throws; afterwards the exception of the lowest failing index is rethrown.
void ParallelFor(std::size_t count, const std::function<void(std::size_t)>& task);

// A value of the caller's that follows its tasks onto whatever thread runs them, so that
// what a task logs can be told apart by the work it belongs to (the command line gathers
// the messages of each file). Null unless a scope sets it on the calling thread.
void* TaskContext();

class TaskContextScope {
 public:
  explicit TaskContextScope(void* context);
  ~TaskContextScope();
  TaskContextScope(const TaskContextScope&) = delete;
  TaskContextScope& operator=(const TaskContextScope&) = delete;

 private:
  void* previous_;
};

}  // namespace tarn::util
