#include "tarn/util/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <list>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "tarn/logger.hpp"

namespace tarn::util {
namespace {

// More threads than this is a typing error, not a machine.
constexpr unsigned kMostThreads = 1024;

// The processors this process may run on (a container or `taskset` may allow fewer than the machine has).
unsigned DetectHardwareThreads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&set));
  }
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

unsigned HardwareThreads() {
  static const unsigned count = DetectHardwareThreads();
  return count;
}

unsigned Effective(unsigned count) { return count == 0 ? HardwareThreads() : std::min(count, kMostThreads); }

thread_local void* task_context = nullptr;

// 0 until SetThreadCount is called.
std::atomic<unsigned> chosen_count{0};

unsigned FromEnvironment() {
  const char* text = std::getenv("TARN_THREADS");
  if (text == nullptr || *text == '\0') return HardwareThreads();
  const std::string_view value(text);
  unsigned count = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
  if (error != std::errc() || end != value.data() + value.size()) {
    static std::once_flag warned;
    std::call_once(warned, [&] {
      Logger()->warn("TARN_THREADS={} is not a thread count; using every hardware thread", value);
    });
    return HardwareThreads();
  }
  return Effective(count);
}

// Workers wait for jobs; a job's caller and the workers that join it take its indices
// one at a time until none is left.
class Pool {
 public:
  static Pool& Instance() {
    static Pool pool;
    return pool;
  }

  void Run(size_t count, const std::function<void(size_t)>& task, unsigned helpers) {
    Job job(task, count, helpers);
    std::unique_lock lock(mutex_);
    StartWorkers();
    open_.push_back(&job);
    work_.notify_all();
    RunIndices(job, lock);
    job.done.wait(lock, [&] { return job.finished == job.count; });
    lock.unlock();
    if (job.failure) std::rethrow_exception(job.failure);
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // At exit or when the library is unloaded: idle workers leave and are joined.
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) {
      if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();  // exit() called from inside a task
      } else {
        worker.join();
      }
    }
  }

 private:
  struct Job {
    Job(const std::function<void(size_t)>& task, size_t count, unsigned helpers_wanted)
        : task(task), count(count), helpers_wanted(helpers_wanted) {}
    const std::function<void(size_t)>& task;
    void* const context = task_context;  // the caller's, for every thread that runs a task
    const size_t count;
    const unsigned helpers_wanted;
    unsigned helpers = 0;
    size_t next = 0;
    size_t finished = 0;
    size_t failed_index = SIZE_MAX;
    std::exception_ptr failure;
    std::condition_variable done;
  };

  Pool() { pthread_atfork(&Pool::BeforeFork, &Pool::AfterForkInParent, &Pool::AfterForkInChild); }

  // A child process has only the thread that forked: it must not wait for, or join,
  // workers it does not have. It starts its own when it needs them.
  static void BeforeFork() { Instance().mutex_.lock(); }
  static void AfterForkInParent() { Instance().mutex_.unlock(); }
  static void AfterForkInChild() {
    Pool& pool = Instance();
    // Deliberately leaked: destroying a joinable std::thread would terminate the child.
    new std::vector<std::thread>(std::move(pool.workers_));
    pool.workers_.clear();
    pool.open_.clear();
    // The parent's idle workers were waiting on it: in the child those waiters never
    // wake, and waking them would block forever. A fresh one replaces it, not destroyed.
    new (&pool.work_) std::condition_variable();
    pool.mutex_.unlock();
  }

  // Under the lock. Starts every worker on the first parallel call; fewer if the
  // system refuses threads, since callers do all the work themselves when needed.
  void StartWorkers() {
    const unsigned wanted = ThreadCount() - 1;
    while (workers_.size() < wanted) {
      try {
        workers_.emplace_back([this] { Work(); });
      } catch (const std::system_error& error) {
        Logger()->warn("could not start a worker thread ({}); continuing with {}", error.what(), workers_.size());
        break;
      }
    }
  }

  Job* OpenJob() {
    for (Job* job : open_) {
      if (job->helpers < job->helpers_wanted) return job;
    }
    return nullptr;
  }

  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      work_.wait(lock, [&] { return stopping_ || (job = OpenJob()) != nullptr; });
      if (stopping_) return;
      ++job->helpers;
      RunIndices(*job, lock);
    }
  }

  // Holds the lock on entry and on return, never while a task runs. After its last
  // index has finished the job may be gone, so it is not touched again.
  void RunIndices(Job& job, std::unique_lock<std::mutex>& lock) {
    while (job.next < job.count) {
      const size_t index = job.next++;
      if (job.next == job.count) open_.remove(&job);
      lock.unlock();
      std::exception_ptr failure;
      try {
        const TaskContextScope scope(job.context);
        job.task(index);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure && index < job.failed_index) {
        job.failed_index = index;
        job.failure = std::move(failure);
      }
      if (++job.finished == job.count) {
        job.done.notify_all();
        return;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::list<Job*> open_;  // jobs with indices not yet taken
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

void RunOnCaller(size_t count, const std::function<void(size_t)>& task) {
  std::exception_ptr failure;
  for (size_t index = 0; index < count; ++index) {
    try {
      task(index);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

unsigned ThreadCount() {
  const unsigned chosen = chosen_count.load(std::memory_order_relaxed);
  return chosen != 0 ? chosen : FromEnvironment();
}

void SetThreadCount(unsigned count) { chosen_count.store(Effective(count), std::memory_order_relaxed); }

void ParallelFor(size_t count, const std::function<void(size_t)>& task) {
  const unsigned threads = count > 1 ? ThreadCount() : 1;
  if (threads <= 1) return RunOnCaller(count, task);
  Pool::Instance().Run(count, task, static_cast<unsigned>(std::min<size_t>(count, threads) - 1));
}

void* TaskContext() { return task_context; }

TaskContextScope::TaskContextScope(void* context) : previous_(task_context) { task_context = context; }

TaskContextScope::~TaskContextScope() { task_context = previous_; }

}  // namespace tarn::util
