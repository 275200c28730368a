// The stream buffer of an output file: writes go straight to a file descriptor through
// one buffer, and every failure of the system (a full disk, a quota, an I/O error)
// is thrown with its reason and the output's name instead of a bare stream state.
#pragma once

#include <filesystem>
#include <streambuf>
#include <vector>

namespace tarn {

class StopCheck;

class OutputBuffer : public std::streambuf {
 public:
  // Failures name `name`; writing needs a descriptor first. With `stop`, every write
  // after a stop request throws tarn::Stopped instead.
  explicit OutputBuffer(std::filesystem::path name, const StopCheck* stop = nullptr);
  ~OutputBuffer() override;  // closes without reporting: only for outputs given up
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Takes `descriptor`, open for writing.
  void Attach(int descriptor);
  // Writes out what is buffered.
  void Flush();
  // Flushes, cuts the file at the current position (a rewound output may have left
  // bytes past it) and forces the data to the device; the descriptor stays open.
  void Finish();
  // Flushes and closes, reporting a failure the close reveals.
  void Close();

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void WriteAll(const char* data, size_t count);
  void CloseReporting();

  int descriptor_;
  std::filesystem::path name_;
  const StopCheck* stop_;
  std::vector<char> buffer_;
};

}  // namespace tarn
