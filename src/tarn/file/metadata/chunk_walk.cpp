#include "tarn/file/metadata/chunk_walk.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <streambuf>
#include <vector>

#include "tarn/error.hpp"
#include "tarn/file/metadata/chunk/image/byte_buffer.hpp"
#include "tarn/file/metadata/chunk/image/span_stream.hpp"
#include "tarn/util/stream.hpp"
#include "tarn/util/thread_pool.hpp"

namespace tarn::metadata {
namespace {

using chunk::image::ByteBuffer;

std::atomic<uint64_t> buffered_bytes{0};
std::atomic<uint64_t> peak_buffered_bytes{0};

// A ByteBuffer whose size counts towards the bytes buffered by walks.
class CountedBuffer {
 public:
  explicit CountedBuffer(uint64_t size) : buffer_(size) {
    const uint64_t now = buffered_bytes.fetch_add(size) + size;
    uint64_t peak = peak_buffered_bytes.load();
    while (now > peak && !peak_buffered_bytes.compare_exchange_weak(peak, now)) {
    }
  }
  ~CountedBuffer() { buffered_bytes.fetch_sub(buffer_.size()); }
  CountedBuffer(const CountedBuffer&) = delete;
  CountedBuffer& operator=(const CountedBuffer&) = delete;

  std::span<uint8_t> span() { return buffer_.span(); }
  uint64_t size() const { return buffer_.size(); }

 private:
  ByteBuffer buffer_;
};

// An output stream into memory that, like a file, can seek back over what it holds
// (the encoders' fallbacks rewrite a chunk's output from its start). It starts at a
// guess of the output's size and grows when the guess is short.
class MemoryOutput : public std::streambuf {
 public:
  // Without `seekable`, seeking fails as it does on the pipe it stands for.
  MemoryOutput(uint64_t expected, bool seekable) : seekable_(seekable) { Reserve(std::max<uint64_t>(expected, 4096)); }

  // The first `count` bytes; false when fewer were written.
  bool Holds(uint64_t count) const { return count <= End(); }
  std::span<const uint8_t> First(uint64_t count) { return storage_->span().first(count); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    const uint64_t position = Position();
    if (position + static_cast<uint64_t>(count) > storage_->size()) {
      Reserve(std::max(position + static_cast<uint64_t>(count), 2 * storage_->size()));
    }
    std::memcpy(storage_->span().data() + position, data, static_cast<size_t>(count));
    MoveTo(position + static_cast<uint64_t>(count));
    return count;
  }

  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if ((which & std::ios_base::out) == 0 || !seekable_) return pos_type(off_type(-1));
    const off_type base = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? static_cast<off_type>(Position())
                                                      : static_cast<off_type>(End());
    const off_type target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > End()) return pos_type(off_type(-1));
    end_ = End();
    MoveTo(static_cast<uint64_t>(target));
    return pos_type(target);
  }

  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  uint64_t Position() const { return static_cast<uint64_t>(pptr() - pbase()); }
  // What was written, also beyond the current position after a seek back.
  uint64_t End() const { return std::max(end_, Position()); }

  void Reserve(uint64_t size) {
    auto larger = std::make_unique<CountedBuffer>(size);
    const uint64_t position = storage_ ? Position() : 0;
    const uint64_t end = storage_ ? End() : 0;
    if (storage_) std::memcpy(larger->span().data(), storage_->span().data(), end);
    storage_ = std::move(larger);
    end_ = end;
    MoveTo(position);
  }

  void MoveTo(uint64_t position) {
    char* begin = reinterpret_cast<char*>(storage_->span().data());
    setp(begin, begin + storage_->size());
    while (position > 0) {
      const int step = static_cast<int>(std::min<uint64_t>(position, INT_MAX));
      pbump(step);
      position -= static_cast<uint64_t>(step);
    }
  }

  const bool seekable_;
  std::unique_ptr<CountedBuffer> storage_;
  uint64_t end_ = 0;
};

class MemoryOStream : public std::ostream {
 public:
  MemoryOStream(uint64_t expected, bool seekable) : std::ostream(nullptr), buffer_(expected, seekable) {
    rdbuf(&buffer_);
  }
  MemoryOutput& buffer() { return buffer_; }

 private:
  MemoryOutput buffer_;
};

// A chunk read from an input that cannot seek: the operation cannot seek in it either,
// so that it behaves as it would on the input itself.
class UnseekableSpanStreamBuf : public chunk::image::SpanStreamBuf {
 public:
  using SpanStreamBuf::SpanStreamBuf;

 protected:
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override {
    return pos_type(off_type(-1));
  }
  pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(off_type(-1)); }
};

// One chunk of a seekable stream that several threads read at once: each read takes the
// stream's lock, seeks to its place and reads straight into the reader's buffer, so the
// chunk is never copied first. Ends where the chunk ends, or earlier with the stream.
class SharedInputView : public std::streambuf {
 public:
  SharedInputView(std::istream& in, std::mutex& in_lock, std::istream::pos_type start, uint64_t length)
      : in_(in), in_lock_(in_lock), start_(start), length_(length) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const std::streamsize got = Fetch(small_, sizeof(small_));
    if (got == 0) return traits_type::eof();
    setg(small_, small_, small_ + got);
    return traits_type::to_int_type(small_[0]);
  }

  std::streamsize xsgetn(char* data, std::streamsize count) override {
    const std::streamsize held = std::min<std::streamsize>(count, egptr() - gptr());
    if (held > 0) {
      std::memcpy(data, gptr(), static_cast<size_t>(held));
      gbump(static_cast<int>(held));
    }
    return held + (held < count ? Fetch(data + held, count - held) : 0);
  }

  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if ((which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    const auto current = static_cast<off_type>(fetched_) - (egptr() - gptr());
    // Positions are the file's, as on the input itself: what a chunk reports names its offset.
    const off_type start = static_cast<off_type>(start_);
    const off_type base = dir == std::ios_base::beg   ? -start
                          : dir == std::ios_base::cur ? current
                                                      : static_cast<off_type>(length_);
    const off_type target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > length_) return pos_type(off_type(-1));
    setg(nullptr, nullptr, nullptr);
    fetched_ = static_cast<uint64_t>(target);
    return pos_type(start + target);
  }

  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  std::streamsize Fetch(char* data, std::streamsize count) {
    const auto wanted =
        static_cast<std::streamsize>(std::min<uint64_t>(static_cast<uint64_t>(count), length_ - fetched_));
    if (wanted == 0) return 0;
    std::lock_guard lock(in_lock_);
    std::streamsize got = 0;
    try {
      in_.clear();
      if (in_.seekg(start_ + static_cast<off_type>(fetched_))) {
        in_.read(data, wanted);
        got = in_.gcount();
      }
    } catch (const std::ios_base::failure&) {
      // A stream that throws at its end: the short count is the answer. Real errors pass.
      if (in_.bad()) {
        in_.clear();
        throw;
      }
      got = in_.gcount();
    }
    in_.clear();
    fetched_ += static_cast<uint64_t>(got);
    return got;
  }

  std::istream& in_;
  std::mutex& in_lock_;
  const std::istream::pos_type start_;
  const uint64_t length_;
  uint64_t fetched_ = 0;  // the next byte to fetch, from the chunk's start
  char small_[4096];      // for reads of single characters
};

// What a chunk may occupy in memory, before or after the operation.
uint64_t BufferedSize(const Chunk& chunk) { return std::max(chunk.length, chunk.DecodedLength()); }

bool Bufferable(const Chunk& chunk) { return BufferedSize(chunk) <= kLargestBufferedChunk; }

void RunOnStreams(const Chunk& chunk, std::istream& in, std::ostream& out, const ChunkOperation& operation,
                  WalkResult& result) {
  try {
    result.written.push_back(operation(chunk, in, out));
  } catch (...) {
    result.failure = std::current_exception();
  }
}

// Chunks [begin, end) on up to `lanes` threads, coded in parallel and written in file
// order by whichever thread finds the next chunk in order ready. A thread takes a new
// chunk only while fewer than (lanes + 2) are taken and not yet written, which bounds
// the memory whatever the number of chunks. A seekable input is read in place by every
// thread; any other is read one chunk after the other into memory. The operations see
// streams that seek only where the file streams do, so they behave as on those.
class ParallelRun {
 public:
  ParallelRun(const Chunks& chunks, size_t begin, size_t end, unsigned lanes, std::istream& in, std::ostream& out,
              const ChunkOperation& operation, OutputGuess output_guess, WalkResult& result)
      : chunks_(chunks),
        end_(end),
        window_(lanes + 2),
        in_(in),
        out_(out),
        operation_(operation),
        output_guess_(output_guess),
        result_(result),
        next_read_(begin),
        next_write_(begin),
        next_offset_(in.tellg()),
        seekable_(next_offset_ != std::istream::pos_type(-1)),
        output_seekable_(out.tellp() != std::ostream::pos_type(-1)),
        done_(window_) {}

  void Lane() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopped_ || next_read_ == end_ || MayTake(); });
      if (stopped_ || next_read_ == end_) return;
      const size_t index = next_read_++;
      const Chunk& chunk = *chunks_[index];
      Done done;
      if (seekable_) {
        const std::istream::pos_type start = next_offset_;
        next_offset_ += static_cast<std::streamoff>(chunk.length);
        lock.unlock();
        SharedInputView view(in_, in_lock_, start, chunk.length);
        std::istream chunk_in(&view);
        Code(chunk, chunk_in, done);
      } else {
        reading_ = true;
        lock.unlock();
        std::optional<CountedBuffer> input;
        uint64_t got = 0;
        try {
          input.emplace(chunk.length);
          // A short read is left to the operation, which reports it as it would on the file.
          got = ReadStreamToSpan(in_, input->span());
        } catch (...) {
          done.failure = std::current_exception();
        }
        lock.lock();
        reading_ = false;
        if (done.failure) end_ = next_read_;  // nothing can be read after a failed read
        changed_.notify_all();
        lock.unlock();
        if (!done.failure) {
          UnseekableSpanStreamBuf bytes(input->span().first(got));
          std::istream chunk_in(&bytes);
          Code(chunk, chunk_in, done);
        }
      }
      lock.lock();
      done_[index % window_] = std::move(done);
      Flush(lock);
    }
  }

  // Leaves a seekable input after the run's chunks, where the next chunk starts.
  void PlaceInputAtEnd() {
    if (!seekable_ || result_.failure) return;
    try {
      in_.clear();
      in_.seekg(next_offset_);
    } catch (const std::ios_base::failure&) {
      // The next chunk's own read reports an input that ends early.
    }
  }

 private:
  struct Done {
    std::unique_ptr<Chunk> chunk;
    std::unique_ptr<MemoryOStream> output;
    std::exception_ptr failure;
  };

  bool MayTake() const { return !reading_ && next_read_ < end_ && next_read_ - next_write_ < window_; }

  // The operation sees streams that behave as the file streams would, exceptions included.
  void Code(const Chunk& chunk, std::istream& chunk_in, Done& done) {
    try {
      chunk_in.exceptions(in_.exceptions());
      done.output = std::make_unique<MemoryOStream>(output_guess_(chunk), output_seekable_);
      done.output->exceptions(out_.exceptions());
      done.chunk = operation_(chunk, chunk_in, *done.output);
      if (!done.output->buffer().Holds(done.chunk->length)) {
        throw implementation_error("a chunk operation reported more bytes than it wrote");
      }
    } catch (...) {
      done.failure = std::current_exception();
      done.output.reset();
    }
  }

  // Writes every chunk that is ready in file order. One writer at a time; the lock is
  // released while writing.
  void Flush(std::unique_lock<std::mutex>& lock) {
    if (writing_) return;
    writing_ = true;
    while (!stopped_ && next_write_ < end_ && done_[next_write_ % window_]) {
      Done done = std::move(*done_[next_write_ % window_]);
      done_[next_write_ % window_].reset();
      if (done.failure) {
        Stop(done.failure);
        break;
      }
      lock.unlock();
      std::exception_ptr failure;
      try {
        WriteSpanToStream(done.output->buffer().First(done.chunk->length), out_);
      } catch (...) {
        failure = std::current_exception();
      }
      done.output.reset();
      lock.lock();
      if (failure) {
        Stop(failure);
        break;
      }
      result_.written.push_back(std::move(done.chunk));
      ++next_write_;
      changed_.notify_all();
    }
    writing_ = false;
  }

  void Stop(std::exception_ptr failure) {
    result_.failure = std::move(failure);
    stopped_ = true;
    changed_.notify_all();
  }

  const Chunks& chunks_;
  size_t end_;
  const size_t window_;
  std::istream& in_;
  std::ostream& out_;
  const ChunkOperation& operation_;
  const OutputGuess output_guess_;
  WalkResult& result_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::mutex in_lock_;  // seekable input: one reader at a time
  size_t next_read_;
  size_t next_write_;
  std::istream::pos_type next_offset_;  // seekable input: where chunk next_read_ starts
  const bool seekable_;
  const bool output_seekable_;
  bool reading_ = false;  // other input: a thread is reading its chunk
  bool writing_ = false;
  bool stopped_ = false;
  // Chunks coded and not yet written, at index % window_: fewer than window_ are in flight.
  std::vector<std::optional<Done>> done_;
};

}  // namespace

WalkResult WalkChunks(const Chunks& chunks, size_t count, std::istream& in, std::ostream& out,
                      const ChunkOperation& operation, OutputGuess output_guess) {
  WalkResult result;
  result.written.reserve(count);
  const unsigned threads = util::ThreadCount();
  size_t index = 0;
  while (index < count && !result.failure) {
    size_t end = index;
    if (threads > 1) {
      while (end < count && Bufferable(*chunks[end])) ++end;
    }
    if (end - index < 2) {
      RunOnStreams(*chunks[index], in, out, operation, result);
      ++index;
      continue;
    }
    const unsigned lanes = static_cast<unsigned>(std::min<size_t>(threads, end - index));
    ParallelRun run(chunks, index, end, lanes, in, out, operation, output_guess, result);
    util::ParallelFor(lanes, [&run](size_t) { run.Lane(); });
    run.PlaceInputAtEnd();
    index = end;
  }
  return result;
}

uint64_t PeakBufferedBytes() { return peak_buffered_bytes.load(); }

void ResetPeakBufferedBytes() { peak_buffered_bytes.store(buffered_bytes.load()); }

}  // namespace tarn::metadata
