#include "tarn/file/metadata/readers/byte_source.hpp"

#include <algorithm>
#include <string>

namespace tarn::metadata {

void ByteSource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  if (!RangeFits(offset, out.size(), Size())) {
    throw OutOfBounds("read of " + std::to_string(out.size()) + " bytes at " + std::to_string(offset) +
                            " past the end of a " + std::to_string(Size()) + " byte file");
  }
  if (!out.empty()) {
    ReadAt_(offset, out);
  }
}

std::vector<uint8_t> ByteSource::ReadAt(uint64_t offset, uint64_t length) {
  if (!RangeFits(offset, length, Size())) {
    throw OutOfBounds("read of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                            " past the end of a " + std::to_string(Size()) + " byte file");
  }
  std::vector<uint8_t> bytes(length);
  ReadAt(offset, bytes);
  return bytes;
}

FileByteSource::FileByteSource(const std::filesystem::path& path) : file_(path, std::ios::binary) {
  if (!file_) {
    throw std::runtime_error("cannot open " + path.string());
  }
  file_.seekg(0, std::ios::end);
  const auto end = file_.tellg();
  if (end < 0) {
    throw std::runtime_error("cannot determine the size of " + path.string());
  }
  size_ = static_cast<uint64_t>(end);
}

void FileByteSource::ReadAt_(uint64_t offset, std::span<uint8_t> out) {
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(offset));
  file_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (file_.gcount() != static_cast<std::streamsize>(out.size())) {
    throw std::runtime_error("short read at " + std::to_string(offset));
  }
}

void MemoryByteSource::ReadAt_(uint64_t offset, std::span<uint8_t> out) {
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
}

ByteCursor::ByteCursor(ByteSource& source, uint64_t begin, uint64_t end, uint64_t window)
    : source_(source), position_(begin), end_(end), window_size_(window) {
  if (begin > end || end > source.Size()) {
    throw OutOfBounds("cursor range outside the file");
  }
}

std::span<const uint8_t> ByteCursor::Take(uint64_t n) {
  if (n > Remaining()) {
    throw OutOfBounds("record runs past the end of its segment at " + std::to_string(position_));
  }
  if (n == 0) {
    return {};
  }
  const uint64_t window_end = window_begin_ + window_.size();
  if (position_ < window_begin_ || position_ + n > window_end) {
    const uint64_t want = std::min(Remaining(), std::max(n, window_size_));
    window_.resize(want);
    source_.ReadAt(position_, window_);
    window_begin_ = position_;
  }
  std::span<const uint8_t> taken(window_.data() + (position_ - window_begin_), n);
  position_ += n;
  return taken;
}

}  // namespace tarn::metadata
