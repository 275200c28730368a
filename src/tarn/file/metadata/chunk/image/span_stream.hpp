// A seekable input stream over a caller's buffer, so that in-memory chunk
// steps can hand their bytes to stream codecs without copying them. Positions may
// start at `base` (a chunk's offset in its file), so that what the chunk reports
// about its position names the file offset.
#pragma once

#include <cstdint>
#include <istream>
#include <span>
#include <streambuf>

namespace tarn::chunk::image {

class SpanStreamBuf : public std::streambuf {
 public:
  // The buffer is only read; std::streambuf wants non-const pointers.
  explicit SpanStreamBuf(std::span<const uint8_t> span, uint64_t base = 0) : base_(static_cast<off_type>(base)) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(span.data()));
    setg(begin, begin, begin + span.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if ((which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    const off_type from =
        dir == std::ios_base::beg ? -base_ : dir == std::ios_base::cur ? gptr() - eback() : egptr() - eback();
    const off_type target = from + offset;
    if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(base_ + target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  off_type base_;
};

class SpanIStream : public std::istream {
 public:
  explicit SpanIStream(std::span<const uint8_t> span, uint64_t base = 0) : std::istream(nullptr), buffer_(span, base) {
    rdbuf(&buffer_);
  }

 private:
  SpanStreamBuf buffer_;
};

}  // namespace tarn::chunk::image
