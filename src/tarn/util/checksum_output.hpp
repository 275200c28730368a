// An output stream that hands every byte on to another stream and sums (XXH3-64) what
// passes through it, in consecutive ranges: chunks stored as they are get the checksum of
// the bytes really written, whichever code path wrote them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <vector>

#include "tarn/util/checksum.hpp"

namespace tarn::util {

class ChecksumOutput : public std::ostream {
 public:
  // Sums ranges of the given lengths, one after the other, from the target's current
  // position on; without lengths, one range of whatever is written. Exceptions as the target's.
  explicit ChecksumOutput(std::ostream& target, std::vector<uint64_t> range_lengths = {});

  // The sum of range `index`, once all its bytes have been written exactly once in order
  // (the last open range: what was written so far). Seeking back to the start begins all
  // sums anew, as an encoder does when it replaces what it wrote by a plain copy; seeking
  // anywhere else but the current position leaves no sums.
  std::optional<uint64_t> Sum(size_t index) const;
  // Bytes written since the start (or the last return to it).
  uint64_t Written() const;
  // Marks the target bad when writing through this stream went wrong.
  void PassStateOn(std::ostream& target) const;

 private:
  class Buffer : public std::streambuf {
   public:
    Buffer(std::streambuf* target, std::vector<uint64_t> range_lengths);

    std::optional<uint64_t> Sum(size_t index) const;
    uint64_t Written() const { return position_; }

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

   private:
    void Restart();
    void Add(const char* data, uint64_t count);
    pos_type Moved(pos_type result);

    std::streambuf* target_;
    std::vector<uint64_t> range_ends_;  // from the start; the last one may be open (UINT64_MAX)
    pos_type start_;                    // the target's position at the start, or -1
    uint64_t position_ = 0;
    bool lost_ = false;  // a seek to another place: no sum can be trusted
    std::vector<uint64_t> sums_;  // of the ranges completed
    std::unique_ptr<Xxh3Stream> current_;
  };

  Buffer buffer_;
};

}  // namespace tarn::util
