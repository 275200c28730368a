#include "tarn/util/checksum_output.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <span>

namespace tarn::util {

ChecksumOutput::Buffer::Buffer(std::streambuf* target, std::vector<uint64_t> range_lengths)
    : target_(target), start_(target->pubseekoff(0, std::ios_base::cur, std::ios_base::out)) {
  uint64_t end = 0;
  for (const uint64_t length : range_lengths) range_ends_.push_back(end += length);
  if (range_ends_.empty()) range_ends_.push_back(std::numeric_limits<uint64_t>::max());
  Restart();
}

void ChecksumOutput::Buffer::Restart() {
  position_ = 0;
  lost_ = false;
  sums_.clear();
  current_ = std::make_unique<Xxh3Stream>();
}

void ChecksumOutput::Buffer::Add(const char* data, uint64_t count) {
  while (count > 0 && sums_.size() < range_ends_.size()) {
    const uint64_t step = std::min(count, range_ends_[sums_.size()] - position_);
    current_->Update(std::as_bytes(std::span(data, static_cast<size_t>(step))));
    position_ += step;
    data += step;
    count -= step;
    if (position_ == range_ends_[sums_.size()]) {
      sums_.push_back(current_->Digest());
      current_ = std::make_unique<Xxh3Stream>();
    }
  }
  position_ += count;  // beyond the last range: counted, not summed
}

std::streamsize ChecksumOutput::Buffer::xsputn(const char* data, std::streamsize count) {
  const std::streamsize written = target_->sputn(data, count);
  if (written > 0) Add(data, static_cast<uint64_t>(written));
  return written;
}

ChecksumOutput::Buffer::int_type ChecksumOutput::Buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

int ChecksumOutput::Buffer::sync() { return target_->pubsync(); }

ChecksumOutput::Buffer::pos_type ChecksumOutput::Buffer::Moved(pos_type result) {
  if (result == pos_type(off_type(-1))) return result;
  const off_type relative = start_ == pos_type(off_type(-1)) ? -1 : off_type(result) - off_type(start_);
  if (relative == 0) {
    Restart();
  } else if (relative < 0 || static_cast<uint64_t>(relative) != position_) {
    lost_ = true;
  }
  return result;
}

ChecksumOutput::Buffer::pos_type ChecksumOutput::Buffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                                 std::ios_base::openmode which) {
  return Moved(target_->pubseekoff(offset, direction, which));
}

ChecksumOutput::Buffer::pos_type ChecksumOutput::Buffer::seekpos(pos_type position, std::ios_base::openmode which) {
  return Moved(target_->pubseekpos(position, which));
}

std::optional<uint64_t> ChecksumOutput::Buffer::Sum(size_t index) const {
  if (lost_ || index >= range_ends_.size()) return std::nullopt;
  if (index < sums_.size()) return sums_[index];
  const bool open = index + 1 == range_ends_.size() && range_ends_[index] == std::numeric_limits<uint64_t>::max();
  if (index == sums_.size() && open) return current_->Digest();
  return std::nullopt;
}

ChecksumOutput::ChecksumOutput(std::ostream& target, std::vector<uint64_t> range_lengths)
    : std::ostream(nullptr), buffer_(target.rdbuf(), std::move(range_lengths)) {
  rdbuf(&buffer_);
  exceptions(target.exceptions());
}

std::optional<uint64_t> ChecksumOutput::Sum(size_t index) const { return buffer_.Sum(index); }

uint64_t ChecksumOutput::Written() const { return buffer_.Written(); }

void ChecksumOutput::PassStateOn(std::ostream& target) const {
  if (!good()) target.setstate(rdstate() & (std::ios_base::badbit | std::ios_base::failbit));
}

}  // namespace tarn::util
