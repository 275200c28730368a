// A seekable input stream over a caller's buffer, so that in-memory chunk
// steps can hand their bytes to stream codecs without copying them.
#pragma once

#include <cstdint>
#include <istream>
#include <span>
#include <streambuf>

namespace tarn::chunk::image {

class SpanStreamBuf : public std::streambuf {
 public:
  // The buffer is only read; std::streambuf wants non-const pointers.
  explicit SpanStreamBuf(std::span<const uint8_t> span) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(span.data()));
    setg(begin, begin, begin + span.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if ((which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    const off_type base = dir == std::ios_base::beg ? 0 : dir == std::ios_base::cur ? gptr() - eback() : egptr() - eback();
    const off_type target = base + offset;
    if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }
};

class SpanIStream : public std::istream {
 public:
  explicit SpanIStream(std::span<const uint8_t> span) : std::istream(nullptr), buffer_(span) {
    rdbuf(&buffer_);
  }

 private:
  SpanStreamBuf buffer_;
};

}  // namespace tarn::chunk::image
