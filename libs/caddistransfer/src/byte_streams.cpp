#include "byte_streams.hpp"

#include <algorithm>
#include <cstring>

namespace caddistransfer {
namespace {

constexpr std::size_t kBlockSize = 1 << 20;

template <class Operation>
auto Remembering(std::exception_ptr& failure, Operation&& operation) {
  try {
    return operation();
  } catch (...) {
    if (!failure) failure = std::current_exception();
    throw;
  }
}

}  // namespace

ReadStreamBuffer::ReadStreamBuffer(RandomAccessReader& reader, TokenBucket* bucket, bool checksum)
    : reader_(reader), bucket_(bucket), buffer_(kBlockSize) {
  if (checksum) checksum_ = std::make_unique<Checksum>();
  setg(buffer_.data(), buffer_.data(), buffer_.data());
}

std::size_t ReadStreamBuffer::Fill(uint64_t offset, char* data, std::size_t size) {
  const std::size_t got = Remembering(failure_, [&] { return reader_.ReadAt(offset, data, size); });
  if (bucket_ != nullptr && got > 0) bucket_->Acquire(got);
  // Only the bytes that continue the sum count; a jump ahead is summed when read in turn.
  if (checksum_ && offset <= summed_ && summed_ < offset + got) {
    checksum_->Update(data + (summed_ - offset), offset + got - summed_);
    summed_ = offset + got;
  }
  return got;
}

ReadStreamBuffer::int_type ReadStreamBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const uint64_t next = Position();
  const std::size_t got = Fill(next, buffer_.data(), buffer_.size());
  start_ = next;
  setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
  return got == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
}

std::streamsize ReadStreamBuffer::xsgetn(char* data, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    if (gptr() < egptr()) {
      const auto take = std::min<std::streamsize>(egptr() - gptr(), count - done);
      std::memcpy(data + done, gptr(), static_cast<std::size_t>(take));
      gbump(static_cast<int>(take));
      done += take;
      continue;
    }
    const auto wanted = static_cast<std::size_t>(count - done);
    if (wanted >= buffer_.size()) {
      // Large reads go straight into the caller's memory.
      const uint64_t at = Position();
      const std::size_t got = Fill(at, data + done, wanted);
      start_ = at + got;
      setg(buffer_.data(), buffer_.data(), buffer_.data());
      if (got == 0) break;
      done += static_cast<std::streamsize>(got);
    } else if (traits_type::eq_int_type(underflow(), traits_type::eof())) {
      break;
    }
  }
  return done;
}

ReadStreamBuffer::pos_type ReadStreamBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                     std::ios_base::openmode which) {
  if (!(which & std::ios_base::in)) return pos_type(off_type(-1));
  const uint64_t current = Position();
  if (direction == std::ios_base::cur && offset == 0) return pos_type(static_cast<off_type>(current));
  off_type base = 0;
  if (direction == std::ios_base::cur) base = static_cast<off_type>(current);
  if (direction == std::ios_base::end) base = static_cast<off_type>(Remembering(failure_, [&] { return reader_.Size(); }));
  const off_type target = base + offset;
  if (target < 0) return pos_type(off_type(-1));
  const auto wanted = static_cast<uint64_t>(target);
  const uint64_t held = static_cast<uint64_t>(egptr() - eback());
  if (wanted >= start_ && wanted <= start_ + held) {
    setg(eback(), eback() + (wanted - start_), egptr());
  } else {
    start_ = wanted;
    setg(buffer_.data(), buffer_.data(), buffer_.data());
  }
  return pos_type(target);
}

ReadStreamBuffer::pos_type ReadStreamBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

Digest ReadStreamBuffer::FinishChecksum() {
  if (!checksum_) return {};
  Block block(kBlockSize);
  for (;;) {
    const uint64_t at = summed_;
    if (Fill(at, block.data(), block.size()) == 0 || summed_ == at) break;
  }
  return checksum_->Finish();
}

WriteStreamBuffer::WriteStreamBuffer(RandomAccessFile& file, TokenBucket* bucket)
    : file_(file), bucket_(bucket), buffer_(kBlockSize) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

void WriteStreamBuffer::Write(const char* data, std::size_t size) {
  if (size == 0) return;
  if (bucket_ != nullptr) bucket_->Acquire(size);
  Remembering(failure_, [&] { file_.WriteAt(start_, data, size); });
  start_ += size;
}

void WriteStreamBuffer::Flush() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  Write(buffer_.data(), pending);
}

WriteStreamBuffer::int_type WriteStreamBuffer::overflow(int_type c) {
  Flush();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize WriteStreamBuffer::xsputn(const char* data, std::streamsize count) {
  const auto size = static_cast<std::size_t>(count);
  if (size <= static_cast<std::size_t>(epptr() - pptr())) {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
    return count;
  }
  Flush();
  if (size >= buffer_.size()) {
    Write(data, size);
  } else {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
  }
  return count;
}

int WriteStreamBuffer::sync() {
  Flush();
  return 0;
}

WriteStreamBuffer::pos_type WriteStreamBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                       std::ios_base::openmode which) {
  if (!(which & std::ios_base::out)) return pos_type(off_type(-1));
  const uint64_t current = start_ + static_cast<uint64_t>(pptr() - pbase());
  if (direction == std::ios_base::cur && offset == 0) return pos_type(static_cast<off_type>(current));
  Flush();
  off_type base = static_cast<off_type>(current);
  if (direction == std::ios_base::beg) base = 0;
  if (direction == std::ios_base::end) base = static_cast<off_type>(Remembering(failure_, [&] { return file_.Size(); }));
  const off_type target = base + offset;
  if (target < 0) return pos_type(off_type(-1));
  start_ = static_cast<uint64_t>(target);
  return pos_type(target);
}

WriteStreamBuffer::pos_type WriteStreamBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

ChecksumSink::ChecksumSink(RandomAccessFile* file) : file_(file), buffer_(kBlockSize) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

void ChecksumSink::Pass(const char* data, std::size_t size) {
  if (size == 0) return;
  const uint64_t at = checksum_.size();
  checksum_.Update(data, size);
  if (file_ != nullptr) Remembering(failure_, [&] { file_->WriteAt(at, data, size); });
}

void ChecksumSink::Flush() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  Pass(buffer_.data(), pending);
}

Digest ChecksumSink::Finish() {
  Flush();
  return checksum_.Finish();
}

ChecksumSink::int_type ChecksumSink::overflow(int_type c) {
  Flush();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize ChecksumSink::xsputn(const char* data, std::streamsize count) {
  const auto size = static_cast<std::size_t>(count);
  if (size <= static_cast<std::size_t>(epptr() - pptr())) {
    std::memcpy(pptr(), data, size);
    pbump(static_cast<int>(size));
    return count;
  }
  Flush();
  Pass(data, size);
  return count;
}

int ChecksumSink::sync() {
  Flush();
  return 0;
}

ChecksumSink::pos_type ChecksumSink::seekoff(off_type offset, std::ios_base::seekdir direction,
                                             std::ios_base::openmode which) {
  if (offset == 0 && direction == std::ios_base::cur && (which & std::ios_base::out)) {
    return pos_type(static_cast<off_type>(size()));
  }
  return pos_type(off_type(-1));
}

ChecksumSink::pos_type ChecksumSink::seekpos(pos_type position, std::ios_base::openmode which) {
  if (static_cast<uint64_t>(off_type(position)) == size()) return seekoff(0, std::ios_base::cur, which);
  return pos_type(off_type(-1));
}

}  // namespace caddistransfer
