// Every line the program prints goes through here, so that messages from several worker
// threads and the progress line on the terminal never cut into each other.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace tarn::cli {

class Console {
 public:
  // With `progress_line`, Progress() draws a line on standard error that later output
  // clears first; give it only when standard error is a terminal.
  explicit Console(bool progress_line) : progress_line_(progress_line) {}

  void Out(std::string_view line);  // standard output, newline added
  void Err(std::string_view line);  // standard error, newline added
  void Progress(std::string_view line);
  void ClearProgress();

  bool has_progress_line() const { return progress_line_; }

 private:
  void ClearLocked();

  std::mutex mutex_;
  const bool progress_line_;
  size_t shown_ = 0;  // columns of the progress line now on screen
};

}  // namespace tarn::cli
