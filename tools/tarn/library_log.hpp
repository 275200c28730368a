// The library's log, seen from the command line: on standard error beside the program's
// own messages, and gathered per file so that a failure can name its cause.
#pragma once

#include <string>
#include <vector>

#include "console.hpp"
#include "tarn/util/thread_pool.hpp"

namespace tarn::cli {

// What the library logged, on any of its threads, while it worked on one file.
struct FileLog {
  std::vector<std::string> errors;
  std::vector<std::string> notes;  // warnings and below

  // The notes once each, with a count where one was logged many times.
  std::vector<std::string> DistinctNotes() const;
};

// Replaces the library's console output by `console` and sets the library's level for
// `verbosity`. Call once, before any work starts; `console` must outlive the program's work.
void RouteLibraryLog(Console& console, int verbosity);

// While alive, what the library logs for work started on this thread goes to `log`.
class FileLogScope {
 public:
  explicit FileLogScope(FileLog& log);

 private:
  tarn::util::TaskContextScope scope_;
};

}  // namespace tarn::cli
