// Stream buffers that let libtarn's chunk walks read and write storage files through
// RandomAccessReader/RandomAccessFile: bytes pass the transport token bucket on their
// way, and what is read or written can be checksummed in file order. Each buffer keeps
// the first failure of its file, so a caller can tell a storage failure from a codec one.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <streambuf>

#include "checksum.hpp"
#include "random_access.hpp"
#include "token_bucket.hpp"

namespace caddistransfer {

// Memory for a buffer, not cleared first: it is always written before it is read.
class Block {
 public:
  explicit Block(std::size_t size) : bytes_(new char[size]), size_(size) {}
  char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

// Reading with seeks. With a checksum, every byte of the file is summed once, in
// order, however the reader jumps about; FinishChecksum sums what was never read.
class ReadStreamBuffer final : public std::streambuf {
 public:
  ReadStreamBuffer(RandomAccessReader& reader, TokenBucket* bucket, bool checksum);

  Digest FinishChecksum();
  // Bytes in the checksum so far (the file's size once FinishChecksum returned).
  uint64_t summed() const { return summed_; }
  std::exception_ptr failure() const { return failure_; }

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* data, std::streamsize count) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  uint64_t Position() const { return start_ + static_cast<uint64_t>(gptr() - eback()); }
  std::size_t Fill(uint64_t offset, char* data, std::size_t size);

  RandomAccessReader& reader_;
  TokenBucket* bucket_;
  std::unique_ptr<Checksum> checksum_;
  uint64_t summed_ = 0;  // bytes [0, summed_) are in the checksum
  Block buffer_;
  uint64_t start_ = 0;  // file offset of eback()
  std::exception_ptr failure_;
};

// Writing with seeks (codecs that fall back rewind their output).
class WriteStreamBuffer final : public std::streambuf {
 public:
  WriteStreamBuffer(RandomAccessFile& file, TokenBucket* bucket);

  void Flush();
  std::exception_ptr failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void Write(const char* data, std::size_t size);

  RandomAccessFile& file_;
  TokenBucket* bucket_;
  Block buffer_;
  uint64_t start_ = 0;  // file offset of pbase()
  std::exception_ptr failure_;
};

// Sums everything written, in order, and passes it on to a file when one is given.
// Only tells its position; a seek would break the sum and fails.
class ChecksumSink final : public std::streambuf {
 public:
  explicit ChecksumSink(RandomAccessFile* file);

  // Flushes to the file and returns the checksum of every byte written.
  Digest Finish();
  uint64_t size() const { return checksum_.size() + static_cast<uint64_t>(pptr() - pbase()); }
  std::exception_ptr failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void Flush();
  void Pass(const char* data, std::size_t size);

  RandomAccessFile* file_;
  Checksum checksum_;
  Block buffer_;
  std::exception_ptr failure_;
};

}  // namespace caddistransfer
