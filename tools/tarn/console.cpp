#include "console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace tarn::cli {
namespace {

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void WriteLine(std::FILE* stream, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void Console::Out(std::string_view line) {
  std::lock_guard lock(mutex_);
  ClearLocked();
  WriteLine(stdout, line);
}

void Console::Err(std::string_view line) {
  std::lock_guard lock(mutex_);
  ClearLocked();
  WriteLine(stderr, line);
}

void Console::Progress(std::string_view line) {
  if (!progress_line_) return;
  std::lock_guard lock(mutex_);
  // A line longer than the terminal would wrap, and a carriage return could no longer
  // take the cursor back to its start.
  const size_t columns = TerminalColumns();
  if (line.size() >= columns) line = line.substr(0, columns - 1);
  std::string text(1, '\r');
  text.append(line);
  if (line.size() < shown_) text.append(shown_ - line.size(), ' ');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  shown_ = line.size();
}

void Console::ClearProgress() {
  std::lock_guard lock(mutex_);
  ClearLocked();
}

void Console::ClearLocked() {
  if (shown_ == 0) return;
  std::string blank(shown_ + 2, ' ');
  blank.front() = '\r';
  blank.back() = '\r';
  std::fwrite(blank.data(), 1, blank.size(), stderr);
  std::fflush(stderr);
  shown_ = 0;
}

}  // namespace tarn::cli
