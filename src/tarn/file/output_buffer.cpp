#include "tarn/file/output_buffer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarn/file/stop.hpp"
#include "tarn/file/write_failure.hpp"

namespace tarn {
namespace {

// Large chunk payloads bypass the buffer; it only gathers small writes (JSON, footers).
constexpr size_t kBufferSize = size_t{256} << 10;

}  // namespace

OutputBuffer::OutputBuffer(std::filesystem::path name, const StopCheck* stop)
    : descriptor_(-1), name_(std::move(name)), stop_(stop) {}

void OutputBuffer::Attach(int descriptor) {
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = descriptor;
  buffer_.resize(kBufferSize);
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

OutputBuffer::~OutputBuffer() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

void OutputBuffer::WriteAll(const char* data, size_t count) {
  if (count > 0 && stop_ != nullptr) stop_->ThrowIfRequested();
  while (count > 0) {
    const ssize_t written = ::write(descriptor_, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) ThrowWriteFailure("could not write", name_, written < 0 ? errno : ENOSPC);
    data += written;
    count -= static_cast<size_t>(written);
  }
}

void OutputBuffer::Flush() {
  const size_t pending = static_cast<size_t>(pptr() - pbase());
  // Emptied first: a failed write must not be written again by a later flush.
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  WriteAll(buffer_.data(), pending);
}

void OutputBuffer::CloseReporting() {
  const int descriptor = descriptor_;
  descriptor_ = -1;
  // Some file systems report a failed write only here; the descriptor is gone either way.
  if (::close(descriptor) != 0 && errno != EINTR) ThrowWriteFailure("could not write", name_, errno);
}

void OutputBuffer::Finish() {
  Flush();
  const off_t end = ::lseek(descriptor_, 0, SEEK_CUR);
  struct stat status {};
  if (end < 0 || ::fstat(descriptor_, &status) != 0) ThrowWriteFailure("could not write", name_, errno);
  if (status.st_size > end && ::ftruncate(descriptor_, end) != 0) ThrowWriteFailure("could not write", name_, errno);
  // EINVAL: a file system that cannot sync; nothing more can be done there.
  if (::fsync(descriptor_) != 0 && errno != EINVAL) ThrowWriteFailure("could not write", name_, errno);
}

void OutputBuffer::Close() {
  Flush();
  CloseReporting();
}

OutputBuffer::int_type OutputBuffer::overflow(int_type c) {
  Flush();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize OutputBuffer::xsputn(const char* data, std::streamsize count) {
  const auto size = static_cast<size_t>(count);
  if (size <= static_cast<size_t>(epptr() - pptr())) {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
    return count;
  }
  Flush();
  if (size < buffer_.size()) {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
  } else {
    WriteAll(data, size);
  }
  return count;
}

int OutputBuffer::sync() {
  Flush();
  return 0;
}

OutputBuffer::pos_type OutputBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                             std::ios_base::openmode which) {
  if ((which & std::ios_base::out) == 0 || descriptor_ < 0) return pos_type(off_type(-1));
  if (direction == std::ios_base::cur && offset == 0) {
    // Where the next byte goes, without writing anything out.
    const off_t written = ::lseek(descriptor_, 0, SEEK_CUR);
    if (written < 0) return pos_type(off_type(-1));
    return pos_type(off_type(written) + (pptr() - pbase()));
  }
  Flush();
  const int whence = direction == std::ios_base::beg ? SEEK_SET : direction == std::ios_base::cur ? SEEK_CUR : SEEK_END;
  const off_t position = ::lseek(descriptor_, static_cast<off_t>(offset), whence);
  return position < 0 ? pos_type(off_type(-1)) : pos_type(off_type(position));
}

OutputBuffer::pos_type OutputBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

}  // namespace tarn
