// An output stream buffer that counts every byte written and keeps only those that fall in
// one window, so a chunk can be decoded whole while only the part asked for is stored.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <streambuf>

namespace tarn::archive {

class WindowSink : public std::streambuf {
 public:
  // Keeps the bytes at positions [begin, begin + window.size()) of what is written.
  WindowSink(uint64_t begin, std::span<uint8_t> window) : begin_(begin), window_(window) {}

  uint64_t Written() const { return written_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    const auto count = static_cast<uint64_t>(size);
    const uint64_t end = begin_ + window_.size();
    const uint64_t from = std::max(written_, begin_);
    const uint64_t to = std::min(written_ + count, end);
    if (from < to) std::memcpy(window_.data() + (from - begin_), data + (from - written_), to - from);
    written_ += count;
    return size;
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }

 private:
  uint64_t begin_;
  std::span<uint8_t> window_;
  uint64_t written_ = 0;
};

}  // namespace tarn::archive
